#include "export/ExportTarget.h"

#include "disk/Drives.h"
#include "disk/Text.h"
#include "engine/Address.h"
#include "engine/Errors.h"
#include "export/ExportState.h"
#include "export/StripeWriter.h"
#include "export/MemberReader.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

namespace corvane {

namespace {

std::string Hex(uint64_t v)
{
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

std::string Bytes(uint64_t v)
{
    std::ostringstream s;
    s << v << " bytes";
    if (v >= (uint64_t{1} << 30))
        s << " (" << (v >> 30) << " GiB)";
    else if (v >= (uint64_t{1} << 20))
        s << " (" << (v >> 20) << " MiB)";
    return s.str();
}

// Writes all of iov (count entries) at the descriptor's position, going on
// after short writes and interruptions. Returns false with errno set.
bool WriteAll(int fd, iovec* iov, int count)
{
    while (count > 0) {
        const ssize_t n = ::writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0 && left > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

// copy_file_range cannot serve these descriptors at all (other file
// systems, special files, an old kernel): stop trying.
bool CopyUnsupported(int err)
{
    return err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS || err == EBADF || err == EPERM ||
           err == ETXTBSY || err == EISDIR;
}

// A segment that was only checked (readOk 3) is needed in its buffer after
// all: read it now. False, with error, when it no longer reads.
bool LoadChecked(SegmentSlot& s, std::string& error)
{
    if (s.readOk != 3)
        return true;
    LoadSegmentNow(s, nullptr);
    if (s.readOk == 1)
        return true;
    error = "read failed: " + (s.member ? s.member->source : std::string("a member")) + " at " + Hex(s.copyOffset) +
            " (+" + Hex(kSegmentSize) + "): the segment read a moment before and no longer does";
    return false;
}

} // namespace

// The stripe chunk by chunk: chunks of good segments that lie in regular-file
// members go by copy_file_range, the others (rebuilt, zero-filled, or read
// from a drive) are gathered from their buffers and written. A copy that
// does not go through falls back to the buffer, which holds (or is then
// given) the same bytes.
bool ExportTarget::WriteStripeCopying(StripeSlot& slot, int& err, std::string& readError)
{
    const int fd = io->Handle();
    constexpr int kChunks = static_cast<int>(kRunSize / kChunkSize);
    iovec iov[kChunks];
    int pending = 0;
    auto flush = [&]() {
        const bool ok = pending == 0 || WriteAll(fd, iov, pending);
        pending = 0;
        if (!ok)
            err = errno;
        return ok;
    };
    for (int c = 0; c < kChunks; ++c) {
        const uint64_t k = static_cast<uint64_t>(c) / 4;
        const unsigned m = static_cast<unsigned>(c) % 4;
        uint64_t done = 0;
        SegmentSlot* s = slot.sources[m];
        const bool present = s && !(slot.missingMask & (1u << m));
        if (present && s->copyFd >= 0 && copyOffload.load(std::memory_order_relaxed)) {
            if (!flush())
                return false;
            loff_t from = static_cast<loff_t>(s->copyOffset + k * kChunkSize);
            while (done < kChunkSize) {
                const ssize_t n = ::copy_file_range(s->copyFd, &from, fd, nullptr, kChunkSize - done, 0);
                if (n > 0) {
                    done += static_cast<uint64_t>(n);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && CopyUnsupported(errno)) {
                    copyOffload.store(false, std::memory_order_relaxed);
                    if (s->copyState)
                        s->copyState->store(kCopyFails, std::memory_order_release);
                }
                break; // the rest of the chunk from the buffer
            }
            if (done == kChunkSize && s->copyState && s->copyState->load(std::memory_order_relaxed) == kCopyUnknown)
                s->copyState->store(kCopyWorks, std::memory_order_release);
        }
        if (done < kChunkSize) {
            if (present && !LoadChecked(*s, readError))
                return false;
            iov[pending++] = {const_cast<uint8_t*>(slot.pieces[m] + k * kChunkSize + done), kChunkSize - done};
        }
    }
    return flush();
}

int ExportTarget::WriteStripe(StripeSlot& slot, std::string& error)
{
    const uint64_t at = position;
    if (!io) {
        error = "write failed: no export target is open";
        return kWriteFailed;
    }
    bool ok = false;
    int err = 0;
    std::string readError;
    if (gather && copyOffload.load(std::memory_order_relaxed) && !slot.interleaved) {
        ok = WriteStripeCopying(slot, err, readError);
    } else {
        // Written from the buffers: a segment only checked must be read now.
        for (unsigned m = 0; m < 4 && readError.empty(); ++m)
            if (slot.sources[m] && !(slot.missingMask & (1u << m)))
                LoadChecked(*slot.sources[m], readError);
        if (readError.empty() && gather && !slot.interleaved) {
            // The stripe as the interleave lays it out: chunk k of data
            // segment m is chunk 4k + m of the output.
            constexpr int kChunks = static_cast<int>(kRunSize / kChunkSize);
            iovec iov[kChunks];
            for (int c = 0; c < kChunks; ++c) {
                const uint64_t k = static_cast<uint64_t>(c) / 4;
                const unsigned m = static_cast<unsigned>(c) % 4;
                iov[c].iov_base = const_cast<uint8_t*>(slot.pieces[m] + k * kChunkSize);
                iov[c].iov_len = kChunkSize;
            }
            ok = WriteAll(io->Handle(), iov, kChunks);
            err = errno;
        } else if (readError.empty()) {
            if (!slot.interleaved) {
                const uint8_t* const pieces[4] = {slot.pieces[0], slot.pieces[1], slot.pieces[2], slot.pieces[3]};
                InterleaveChunks(pieces, slot.output.data());
                slot.interleaved = true;
            }
            uint64_t done = 0;
            errno = 0;
            ok = io->Write(slot.output.data(), static_cast<uint32_t>(kRunSize), &done) && done == kRunSize;
            err = errno != 0 ? errno : EIO;
        }
    }
    if (!readError.empty()) {
        error = readError;
        return kReadFailed;
    }
    if (!ok) {
        error = "write failed: " + path + " at " + Hex(at) + " (+" + Hex(kRunSize) + "): " + std::strerror(err);
        return kWriteFailed;
    }
    position += kRunSize;
    return 0;
}

bool ExportTarget::Flush(std::string& error)
{
    if (!io || !device || io->Handle() < 0)
        return true;
    if (::fdatasync(io->Handle()) == 0)
        return true;
    error = "write failed: " + path + ": flushing to the device: " + std::strerror(errno);
    return false;
}

// ---------------------------------------------------------------------------
// What a block device is made of, from sysfs

namespace {

std::string DevName(dev_t d)
{
    return std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

std::string SysDir(const SystemPaths& sys, dev_t d)
{
    return sys.sysDevBlock + "/" + DevName(d);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A "major:minor" file; false when absent or malformed.
bool ReadDevFile(const std::string& path, dev_t& out)
{
    std::ifstream f(path);
    unsigned ma = 0, mi = 0;
    char colon = 0;
    if (!(f >> ma >> colon >> mi) || colon != ':')
        return false;
    out = makedev(ma, mi);
    return true;
}

std::vector<std::string> DirEntries(const std::string& path)
{
    std::vector<std::string> out;
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return out;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            out.push_back(name);
    }
    ::closedir(d);
    return out;
}

// The drive a partition belongs to; the device itself otherwise.
dev_t WholeDisk(const SystemPaths& sys, dev_t d)
{
    const std::string dir = SysDir(sys, d);
    dev_t parent{};
    if (Exists(dir + "/partition") && ReadDevFile(dir + "/../dev", parent))
        return parent;
    return d;
}

// The devices at the bottom of d's stack (device-mapper and RAID devices
// name theirs under slaves/); d itself when it has none.
void Underlying(const SystemPaths& sys, dev_t d, std::set<dev_t>& out, int depth = 0)
{
    const std::string slaves = SysDir(sys, d) + "/slaves";
    bool any = false;
    if (depth < 8) {
        for (const std::string& name : DirEntries(slaves)) {
            dev_t s{};
            if (ReadDevFile(slaves + "/" + name + "/dev", s)) {
                any = true;
                Underlying(sys, s, out, depth + 1);
            }
        }
    }
    if (!any)
        out.insert(d);
}

// Partitions of a drive: subdirectories that carry a "partition" file.
std::vector<std::pair<std::string, dev_t>> Partitions(const SystemPaths& sys, dev_t d)
{
    std::vector<std::pair<std::string, dev_t>> out;
    const std::string dir = SysDir(sys, d);
    for (const std::string& name : DirEntries(dir)) {
        dev_t p{};
        if (Exists(dir + "/" + name + "/partition") && ReadDevFile(dir + "/" + name + "/dev", p))
            out.emplace_back(name, p);
    }
    return out;
}

// Mount table fields escape blanks as \040 and the like.
std::string Unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool BlockDeviceAt(const std::string& path, dev_t& rdev)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return false;
    rdev = st.st_rdev;
    return true;
}

// The files behind the loop devices that d is, or is built on.
std::vector<std::pair<std::string, struct stat>> BackingFiles(const SystemPaths& sys, dev_t d)
{
    std::vector<std::pair<std::string, struct stat>> out;
    std::set<dev_t> under;
    Underlying(sys, d, under);
    for (dev_t x : under) {
        for (dev_t y : {x, WholeDisk(sys, x)}) {
            std::ifstream f(SysDir(sys, y) + "/loop/backing_file");
            std::string path;
            struct stat st {};
            if (std::getline(f, path) && !path.empty() && ::stat(path.c_str(), &st) == 0)
                out.emplace_back(path, st);
        }
    }
    return out;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

bool DevicesOverlap(dev_t a, dev_t b, const SystemPaths& sys)
{
    std::set<dev_t> ua, ub;
    Underlying(sys, a, ua);
    Underlying(sys, b, ub);
    for (dev_t x : ua)
        for (dev_t y : ub)
            if (x == y || WholeDisk(sys, x) == y || WholeDisk(sys, y) == x)
                return true;
    return false;
}

std::string TargetConflict(const std::string& shown, const struct stat& t, const std::vector<SourceIdentity>& sources,
                           const SystemPaths& sys)
{
    const bool targetIsDevice = S_ISBLK(t.st_mode);
    for (const SourceIdentity& s : sources) {
        const bool sourceIsDevice = S_ISBLK(s.st.st_mode);
        if (!targetIsDevice && !sourceIsDevice) {
            if (SameFile(t, s.st))
                return shown + " is the source " + s.path;
        } else if (targetIsDevice && sourceIsDevice) {
            if (t.st_rdev == s.st.st_rdev)
                return shown + " is the source " + s.path;
            if (DevicesOverlap(t.st_rdev, s.st.st_rdev, sys))
                return shown + " shares its drive with the source " + s.path;
            for (const auto& [tf, tst] : BackingFiles(sys, t.st_rdev))
                for (const auto& [sf, sst] : BackingFiles(sys, s.st.st_rdev))
                    if (SameFile(tst, sst))
                        return shown + " and the source " + s.path + " are loop devices over " + tf;
        } else if (targetIsDevice) {
            // An image source on a file system that lives on the target, or
            // behind it as a loop device.
            if (DevicesOverlap(t.st_rdev, s.st.st_dev, sys))
                return "the source " + s.path + " lies on a file system on " + shown;
            for (const auto& [file, st] : BackingFiles(sys, t.st_rdev))
                if (SameFile(st, s.st))
                    return shown + " is a loop device over the source " + s.path;
        } else {
            // A target file on a file system that lives on a source drive, or
            // behind a source loop device.
            if (DevicesOverlap(t.st_dev, s.st.st_rdev, sys))
                return shown + " lies on a file system on the source " + s.path;
            for (const auto& [file, st] : BackingFiles(sys, s.st.st_rdev))
                if (SameFile(st, t))
                    return "the source " + s.path + " is a loop device over " + shown;
        }
    }
    if (!targetIsDevice)
        return {};

    std::ifstream mounts(sys.mounts);
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string dev, dir;
        if (!(fields >> dev >> dir) || dev.empty() || dev[0] != '/')
            continue;
        dev = Unescape(dev);
        dev_t m{};
        if (BlockDeviceAt(dev, m) && DevicesOverlap(t.st_rdev, m, sys))
            return shown + " is in use: " + dev + " is mounted on " + Unescape(dir);
    }
    std::ifstream swaps(sys.swaps);
    for (std::string line; std::getline(swaps, line);) {
        std::istringstream fields(line);
        std::string dev;
        if (!(fields >> dev) || dev.empty() || dev[0] != '/')
            continue;
        dev = Unescape(dev);
        dev_t m{};
        if (BlockDeviceAt(dev, m) && DevicesOverlap(t.st_rdev, m, sys))
            return shown + " is in use: " + dev + " is swap space";
    }
    // A device-mapper or RAID device built on the target or a partition of it.
    std::vector<std::pair<std::string, dev_t>> parts = Partitions(sys, t.st_rdev);
    parts.emplace_back(std::string(), t.st_rdev);
    for (const auto& [name, d] : parts) {
        const std::vector<std::string> holders = DirEntries(SysDir(sys, d) + "/holders");
        if (!holders.empty())
            return shown + " is in use: " + (name.empty() ? std::string("it") : name) + " is held by " + holders.front();
    }
    return {};
}

std::vector<SourceIdentity> SourceIdentities(const EvaContext& ctx)
{
    std::vector<SourceIdentity> out;
    for (const auto& m : ctx.members) {
        if (!m)
            continue;
        SourceIdentity s;
        s.path = m->source;
        const bool ok = (m->io && m->io->Handle() >= 0 && ::fstat(m->io->Handle(), &s.st) == 0) ||
                        (!m->source.empty() &&
                         ::stat(JFileHandle::ResolveDrivePath(m->source).c_str(), &s.st) == 0);
        if (ok)
            out.push_back(s);
    }
    for (const SourceEntry& e : ctx.sources) {
        SourceIdentity s;
        s.path = e.path;
        if (::stat(JFileHandle::ResolveDrivePath(e.path).c_str(), &s.st) == 0)
            out.push_back(s);
    }
    return out;
}

// ---------------------------------------------------------------------------

void OpenExportTarget(EvaContext& ctx, const std::string& path, uint64_t startOffset, uint64_t bytesNeeded)
{
    ExportState& st = AttachExportState(ctx);
    if (st.running.load())
        Raise(kOpenDeviceFailed, "an export is running; " + path + " was not opened");
    st.target.io.reset();
    st.target.path = path;
    st.target.device = false;
    st.target.position = 0;

    if (path.empty())
        Raise(kOpenDeviceFailed, "no target was named");
    const std::vector<SourceIdentity> sources = SourceIdentities(ctx);
    const std::string resolved = JFileHandle::ResolveDrivePath(path);
    struct stat before {};
    const bool existed = ::stat(resolved.c_str(), &before) == 0;
    if (existed) {
        const std::string why = TargetConflict(path, before, sources);
        if (!why.empty())
            Raise(kOpenDeviceFailed, "refusing " + path + ": " + why);
    }

    errno = 0;
    std::unique_ptr<JIO> io = JFileHandle::OpenDiskOrFile(path.c_str(), true, JFileHandle::Access::ReadWrite);
    if (!io)
        Raise(kOpenDeviceFailed, "cannot open " + path + ": " + std::strerror(errno != 0 ? errno : ENOENT));
    struct stat after {};
    if (::fstat(io->Handle(), &after) != 0)
        Raise(kOpenDeviceFailed, "cannot open " + path + ": " + std::strerror(errno));
    if (!existed || after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
        // Created, or replaced since it was checked: check what was opened.
        const std::string why = TargetConflict(path, after, sources);
        if (!why.empty())
            Raise(kOpenDeviceFailed, "refusing " + path + ": " + why);
    }
    const bool device = S_ISBLK(after.st_mode);
    if (device) {
        const uint64_t size = io->Size();
        const bool overflow = startOffset > UINT64_MAX - bytesNeeded;
        if (overflow || size < startOffset + bytesNeeded)
            Raise(kOpenDeviceFailed, "refusing " + path + ": the device holds " + Bytes(size) +
                                         "; the export needs " +
                                         (overflow ? std::string("more than 2^64 bytes")
                                                   : Bytes(startOffset + bytesNeeded)) +
                                         " (offset " + std::to_string(startOffset) + " + LUN " +
                                         std::to_string(bytesNeeded) + ")");
    }
    st.target.io = std::move(io);
    st.target.device = device;
}

void OpenExportTarget(EvaContext& ctx, const std::u16string& path, uint64_t startOffset, uint64_t bytesNeeded)
{
    std::string narrow;
    if (JFileHandle::Utf16ToNarrow(path, narrow) != JFileHandle::ConvertResult::Ok) {
        AttachExportState(ctx).target.io.reset();
        Raise(kOpenDeviceFailed, "the target path has characters the locale's encoding cannot hold");
    }
    OpenExportTarget(ctx, narrow, startOffset, bytesNeeded);
}

} // namespace corvane
