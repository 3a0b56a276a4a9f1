#include "engine/Context.h"

#include "disk/Mapfile.h"
#include "disk/Drives.h"
#include "disk/Text.h"
#include "engine/Address.h"
#include "engine/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace corvane {

namespace {
constexpr std::array<uint8_t, 8> kMemberTag = {0, 0, 0, 1, 0, 0, 0, 5};

std::string ErrnoText(int err)
{
    return std::strerror(err);
}

// What a file of this mode is, for a source that is neither an image file
// nor a drive; empty for those two.
std::string ForeignKind(mode_t mode)
{
    if (S_ISREG(mode) || S_ISBLK(mode))
        return {};
    if (S_ISFIFO(mode))
        return "a FIFO (named pipe)";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    return "neither a file nor a device";
}
} // namespace

bool MemberDisk::OpenSource(const std::string& path)
{
    source = path;
    problem.clear();
    position = 0;
    // The disk layer opens without waiting (a FIFO with no writer would
    // block for ever), so the kind of the very descriptor is checked here,
    // before its first byte is read.
    io = JFileHandle::OpenDiskOrFile(path.c_str(), false, JFileHandle::Access::ReadOnly);
    struct stat st {};
    if (!io) {
        const int err = errno;
        problem = ErrnoText(err);
        // A socket cannot be opened at all: say what the path is.
        if (::stat(JFileHandle::ResolveDrivePath(path).c_str(), &st) == 0 && !ForeignKind(st.st_mode).empty())
            problem += " (it is " + ForeignKind(st.st_mode) + ")";
        return false;
    }
    if (::fstat(io->Handle(), &st) == 0 && !ForeignKind(st.st_mode).empty()) {
        problem = "it is " + ForeignKind(st.st_mode) + ", not a drive or an image file";
        io.reset();
        return false;
    }
    return true;
}

bool MemberDisk::UseImagingMap(const std::string& mapfile, std::string& error, std::string& note)
{
    JFileHandle::Mapfile map;
    if (!JFileHandle::LoadMapfile(mapfile, map, error))
        return false;
    JFileHandle::ExtentSet unreadable = map.NotRescued();
    const uint64_t domain = map.Domain();
    unreadable.Add(domain, UINT64_MAX - domain);
    const uint64_t size = io ? io->Size() : 0;
    if (size != domain)
        note = JFileHandle::NarrowToUtf8(source) + ": the image is " + std::to_string(size) +
               " bytes long, its mapfile " + JFileHandle::NarrowToUtf8(mapfile) + " speaks of " +
               std::to_string(domain) + "; bytes outside the map count as unreadable";
    if (io)
        io->SetKnownUnreadable(std::move(unreadable));
    return true;
}

void MemberDisk::Identify()
{
    std::vector<uint8_t> block(kIdentSize, 0);
    const JFileHandle::ReadOutcome r =
        io ? JFileHandle::ReadCarefully(*io, 0, block.data(), kIdentSize, policy) : JFileHandle::ReadOutcome{};
    const bool ok = io && r.refused == 0 && (r.unreadable.Empty() || r.unreadable.List().front().offset == r.endOfSource);
    const uint64_t got = !io ? 0 : r.unreadable.Empty() ? kIdentSize : r.unreadable.List().front().offset;
    position += got;
    identified = io && r.Whole();
    if (!identified) {
        problem = !ok ? r.lastError.Message() : "the source holds only " + std::to_string(got) + " bytes";
        // Nothing trustworthy was read: no tag, so the member can never
        // supply tables, and no disk id is claimed.
        tag.fill(0);
        diskId = 0;
        return;
    }
    std::copy_n(block.begin() + 16, 8, tag.begin());
    diskId = block[115];
}

bool MemberDisk::HasMemberTag() const
{
    return identified && tag == kMemberTag;
}

bool MemberDisk::Seek(uint64_t offset)
{
    if (!io || !io->Seek(offset))
        Raise(kSeekFailed, "seek failed: " + JFileHandle::NarrowToUtf8(source) + " to offset " + Hex(offset) +
                               ": " + ErrnoText(errno));
    position = offset;
    return true;
}

JFileHandle::ReadOutcome MemberDisk::ReadRanges(void* buffer, uint32_t count)
{
    JFileHandle::ReadOutcome r;
    if (!io) {
        std::memset(buffer, 0, count);
        r.unreadable.Add(position, count);
        r.lastError = {"read", source, position, count, EBADF};
        return r;
    }
    r = JFileHandle::ReadCarefully(*io, position, buffer, count, policy);
    r.lastError.source = JFileHandle::NarrowToUtf8(source); // the name the user gave
    if (r.refused) {
        // Nothing from a refused position on holds valid bytes.
        const uint64_t from = std::clamp(r.lastError.offset, position, position + count);
        std::memset(static_cast<uint8_t*>(buffer) + (from - position), 0, position + count - from);
        r.unreadable.Add(from, position + count - from);
    }
    return r;
}

bool MemberDisk::Read(void* buffer, uint32_t count, uint64_t* transferred, bool raiseOnFailure)
{
    const JFileHandle::ReadOutcome r = ReadRanges(buffer, count);
    const uint64_t got = r.refused ? 0 : r.unreadable.Empty() ? count : r.unreadable.List().front().offset - position;
    // Only the member's end inside the request is a short read; any other
    // unreadable byte fails the read.
    const bool ok = r.refused == 0 && (r.unreadable.Empty() || r.unreadable.List().front().offset == r.endOfSource);
    position += got;
    if (transferred)
        *transferred = got;
    if (!ok && raiseOnFailure)
        Raise(kReadFailed, r.lastError.Message());
    return ok;
}

bool RaidInfoEntry::Empty() const
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

uint64_t LunEntry::DeclaredBytes() const
{
    if (capacitySectors > UINT64_MAX / 512)
        return UINT64_MAX;
    return capacitySectors * 512;
}

EvaContext::EvaContext() = default;

EvaContext::~EvaContext()
{
    // Release in the order the engine documents: tables, members, LUNs,
    // blocks, then the export state (readers, writer, target).
    raidInfo.clear();
    raidInfoBackup.clear();
    members.clear();
    lunList.clear();
    blockList.clear();
    exportState.reset();
}

bool EvaContext::BeginJob(ContextJob job)
{
    uint8_t idle = 0;
    return m_job.compare_exchange_strong(idle, static_cast<uint8_t>(job));
}

void EvaContext::EndJob()
{
    m_job.store(0);
}

void EvaContext::ResetAnalysis()
{
    // Readers of an earlier export point at the members about to close.
    if (exportState)
        exportState->ReleaseReaders();
    for (auto& row : memberMap)
        row.fill(nullptr);
    diskById.fill(nullptr);
    raidInfo.clear();
    raidInfoBackup.clear();
    missingSlots.clear();
    excluded.clear();
    blockList.clear();
    lunList.clear();
    members.clear();
    notes.clear();
    warnings.clear();
}

std::string ToOemPath(const std::u16string& path)
{
    // Up to the first NUL, as a NUL-terminated wide string would be read.
    const std::u16string s = path.substr(0, path.find(u'\0'));
    std::string out;
    switch (JFileHandle::Utf16ToNarrow(s, out)) {
    case JFileHandle::ConvertResult::Untranslatable:
        Raise(kInvalidUtf8, "the path is not valid UTF-16");
    case JFileHandle::ConvertResult::Failed:
        Raise(kConversionError, "the path has characters the locale's encoding (" +
                                    JFileHandle::NarrowCodeset() + ") cannot hold");
    case JFileHandle::ConvertResult::Ok:
        break;
    }
    if (out.find('\0') != std::string::npos)
        Raise(kLengthMismatch);
    return out;
}

} // namespace corvane
