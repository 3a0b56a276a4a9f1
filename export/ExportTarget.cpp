#include "export/ExportTarget.h"

#include "disk/Drives.h"
#include "disk/Text.h"
#include "engine/Address.h"
#include "engine/Errors.h"
#include "export/ExportState.h"
#include "export/StripeWriter.h"
#include "export/MemberReader.h"
#include "disk/Io.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <set>
#include <vector>
#include <sstream>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

namespace corvane {

namespace {

using JFileHandle::JIO;

// Standard output or a pipe as a target: bytes go out in order with plain
// writes, at the descriptor's own position. A write "at" any other offset
// than the next byte fails (ESPIPE): the export only ever writes in order.
class StreamIo : public JIO {
public:
    StreamIo(int fd, const std::string& shown)
    {
        m_fd = fd;
        m_openedPath = shown;
    }
    uint64_t QuerySize() override { return 0; }
    bool Read(void*, uint32_t, uint64_t* transferred) override { return Refuse(transferred); }
    bool ReadAt(uint64_t, void*, uint32_t, uint64_t* transferred) override { return Refuse(transferred); }
    bool Seek(uint64_t offset) override
    {
        if (offset == m_next)
            return true;
        errno = ESPIPE;
        return false;
    }
    bool Write(const void* buffer, uint32_t count, uint64_t* transferred) override
    {
        return WriteAt(m_next, buffer, count, transferred);
    }
    bool WriteAt(uint64_t offset, const void* buffer, uint32_t count, uint64_t* transferred) override
    {
        iovec one{const_cast<void*>(buffer), count};
        return WriteVAt(offset, &one, 1, transferred);
    }
    bool WriteVAt(uint64_t offset, const iovec* iov, int count, uint64_t* transferred) override
    {
        if (transferred)
            *transferred = 0;
        if (offset != m_next) {
            errno = ESPIPE;
            return false;
        }
        std::vector<iovec> left(iov, iov + count);
        size_t first = 0;
        uint64_t done = 0;
        while (first < left.size()) {
            const ssize_t n = ::writev(m_fd, left.data() + first, static_cast<int>(left.size() - first));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{m_fd, POLLOUT, 0};
                ::poll(&p, 1, -1);
                continue;
            }
            if (n <= 0) {
                if (n == 0)
                    errno = ENOSPC;
                if (transferred)
                    *transferred = done;
                m_next += done;
                return false;
            }
            done += static_cast<uint64_t>(n);
            for (size_t k = static_cast<size_t>(n); first < left.size() && k > 0;) {
                const size_t take = std::min(k, left[first].iov_len);
                left[first].iov_base = static_cast<uint8_t*>(left[first].iov_base) + take;
                left[first].iov_len -= take;
                k -= take;
                if (left[first].iov_len == 0)
                    ++first;
            }
            while (first < left.size() && left[first].iov_len == 0)
                ++first;
        }
        m_next += done;
        if (transferred)
            *transferred = done;
        return true;
    }
    // Nothing to make durable: what is handed to the pipe is the reader's.
    bool Sync() override { return true; }

private:
    static bool Refuse(uint64_t* transferred)
    {
        if (transferred)
            *transferred = 0;
        errno = ESPIPE;
        return false;
    }
    uint64_t m_next = 0;
};

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

} // namespace

int ExportTarget::WriteStripe(StripeSlot& slot, const JFileHandle::ReadPolicy& policy, std::string& error)
{
    if (!io) {
        error = "write failed: no export target is open";
        return kWriteFailed;
    }
    const uint64_t at = start + slot.stripe * kRunSize;
    constexpr unsigned kChunks = static_cast<unsigned>(kRunSize / kChunkSize);
    bool viaKernel = false;
    for (unsigned m = 0; m < 4; ++m)
        viaKernel = viaKernel || slot.segments[m]->source == SegmentSource::Kernel;
    if (viaKernel && kernelCopy.load(std::memory_order_relaxed)) {
        // Chunk k of data segment m is chunk 4k + m of the stripe.
        bool copied = true;
        for (unsigned c = 0; c < kChunks && copied; ++c) {
            const SegmentState& s = *slot.segments[c % 4];
            const uint64_t from = (c / 4) * kChunkSize;
            const uint64_t to = at + c * kChunkSize;
            int err = 0;
            if (s.source == SegmentSource::Kernel) {
                copied = JFileHandle::CopyInKernel(*s.member->io, s.offset + from, *io, to, kChunkSize, &err) ==
                         kChunkSize;
                if (!copied && (err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS || err == EBADF))
                    kernelCopy.store(false, std::memory_order_relaxed);
            } else {
                uint64_t done = 0;
                if (!io->WriteAt(to, s.buffer + from, static_cast<uint32_t>(kChunkSize), &done)) {
                    error = JFileHandle::IoError{"write", path, to + done, kChunkSize - done, errno}.Message();
                    return kWriteFailed;
                }
            }
        }
        if (copied)
            return 0;
        // The copy stopped: a member byte may not read, or the kernel cannot
        // copy here. The stripe is read into its buffers after all (with its
        // damage found and rebuilt) and written from them below.
    }
    if (viaKernel) {
        std::string readError;
        if (!ResolveStripe(slot.stripe, slot.segments, false, policy, slot.outcome, readError)) {
            error = readError;
            return kSeekFailed;
        }
    }
    if (sparse)
        return WriteSparse(slot, at, error);
    iovec iov[kChunks];
    for (unsigned c = 0; c < kChunks; ++c) {
        iov[c].iov_base = slot.segments[c % 4]->buffer + (c / 4) * kChunkSize;
        iov[c].iov_len = kChunkSize;
    }
    uint64_t done = 0;
    errno = 0;
    if (!io->WriteVAt(at, iov, static_cast<int>(kChunks), &done) || done != kRunSize) {
        error = JFileHandle::IoError{"write", path, at + done, kRunSize - done, errno ? errno : EIO}.Message();
        return kWriteFailed;
    }
    return 0;
}

int ExportTarget::WriteSparse(StripeSlot& slot, uint64_t at, std::string& error)
{
    // Runs of non-zero 4 KiB blocks are written, runs of zero blocks
    // punched, so a block an earlier, interrupted write left is no stale data.
    constexpr uint64_t kBlock = 4096;
    constexpr unsigned kChunks = static_cast<unsigned>(kRunSize / kChunkSize);
    auto zero = [](const uint8_t* p) {
        static const uint8_t none[kBlock] = {};
        return std::memcmp(p, none, kBlock) == 0;
    };
    const int fd = io->Handle();
    bool lastZero = false;
    for (unsigned c = 0; c < kChunks; ++c) {
        const uint8_t* base = slot.segments[c % 4]->buffer + (c / 4) * kChunkSize;
        const uint64_t to = at + c * kChunkSize;
        for (uint64_t b = 0; b < kChunkSize;) {
            const bool z = zero(base + b);
            uint64_t e = b + kBlock;
            while (e < kChunkSize && zero(base + e) == z)
                e += kBlock;
            uint64_t done = 0;
            if (z) {
                if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(to + b),
                                static_cast<off_t>(e - b)) != 0 &&
                    // A file system that cannot punch gets the zeros written.
                    (errno != EOPNOTSUPP || !io->WriteAt(to + b, base + b, static_cast<uint32_t>(e - b), &done))) {
                    error = JFileHandle::IoError{"write", path, to + b + done, e - b - done, errno}.Message();
                    return kWriteFailed;
                }
            } else if (!io->WriteAt(to + b, base + b, static_cast<uint32_t>(e - b), &done) || done != e - b) {
                error = JFileHandle::IoError{"write", path, to + b + done, e - b - done, errno ? errno : EIO}.Message();
                return kWriteFailed;
            }
            lastZero = z;
            b = e;
        }
    }
    if (lastZero) {
        // The file reaches the end of the stripe, holes and all, so a map
        // that calls it done never points past the file.
        struct stat st {};
        if (::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < at + kRunSize &&
            ::ftruncate(fd, static_cast<off_t>(at + kRunSize)) != 0) {
            error = JFileHandle::IoError{"extend", path, at, kRunSize, errno}.Message();
            return kWriteFailed;
        }
    }
    return 0;
}

bool ExportTarget::Flush(std::string& error)
{
    if (!io)
        return true;
    if (io->Sync())
        return true;
    error = JFileHandle::IoError{"sync", path, 0, 0, errno}.Message();
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
        dev = UnescapeMountField(dev);
        dev_t m{};
        if (BlockDeviceAt(dev, m) && DevicesOverlap(t.st_rdev, m, sys))
            return shown + " is in use: " + dev + " is mounted on " + UnescapeMountField(dir);
    }
    std::ifstream swaps(sys.swaps);
    for (std::string line; std::getline(swaps, line);) {
        std::istringstream fields(line);
        std::string dev;
        if (!(fields >> dev) || dev.empty() || dev[0] != '/')
            continue;
        dev = UnescapeMountField(dev);
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

namespace {

// Closes the target before another is opened (refused while an export
// writes to it) and names the new one, its other settings back to their defaults.
ExportState& ForgetTarget(EvaContext& ctx, const std::string& shown)
{
    ExportState& st = AttachExportState(ctx);
    if (ctx.CurrentJob() == ContextJob::Export)
        Raise(kOpenDeviceFailed, "an export is running; " + shown + " was not opened");
    st.target.io.reset();
    st.target.path = shown;
    st.target.device = false;
    st.target.start = 0;
    st.target.sparse = false;
    st.target.stream = false;
    return st;
}

} // namespace

void OpenExportTarget(EvaContext& ctx, const std::string& path, uint64_t startOffset, uint64_t bytesNeeded)
{
    ExportState& st = ForgetTarget(ctx, path);

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

void OpenExportStream(EvaContext& ctx, int fd, const std::string& shown)
{
    ExportState& st = ForgetTarget(ctx, shown);
    struct stat info {};
    const int mode = ::fcntl(fd, F_GETFL);
    if (mode < 0 || ::fstat(fd, &info) != 0)
        Raise(kOpenDeviceFailed, "cannot write to " + shown + ": " + std::strerror(errno));
    if ((mode & O_ACCMODE) == O_RDONLY)
        Raise(kOpenDeviceFailed, "cannot write to " + shown + ": it is open for reading only");
    const std::string why = TargetConflict(shown, info, SourceIdentities(ctx));
    if (!why.empty())
        Raise(kOpenDeviceFailed, "refusing " + shown + ": " + why);
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0)
        Raise(kOpenDeviceFailed, "cannot write to " + shown + ": " + std::strerror(errno));
    st.target.io = std::make_unique<StreamIo>(own, shown);
    st.target.stream = true;
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

std::string UnescapeMountField(const std::string& s)
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

} // namespace corvane
