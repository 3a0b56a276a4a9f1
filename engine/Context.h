// The recovery context: everything the engine knows about the disk group at
// hand. One per run; the front end creates it, appends sources, runs the
// analysis on it and exports from it.
#pragma once

#include "disk/Io.h"
#include "disk/JIO.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

using JFileHandle::JIO;

// Units of the array's layout.
inline constexpr uint64_t kSegmentSize = 0x200000; // 2 MiB, unit of segment numbers
inline constexpr uint64_t kChunkSize = 0x20000;    // 128 KiB, unit of the interleave
inline constexpr uint64_t kRunSize = 0x800000;     // 8 MiB: one stripe of LUN data
inline constexpr uint64_t kIdentSize = 1024;        // identification block
inline constexpr int kRows = 64;                   // member-map rows (row 0 stays empty)
inline constexpr int kColumns = 15;                // member-map columns
inline constexpr int kDiskIds = 255;               // diskById cells: ids 0..254

// One source the user added: a drive name or an image path, as narrow bytes
// in the locale's encoding (as ToOemPath made it). Any length.
struct SourceEntry {
    SourceEntry() = default;
    SourceEntry(std::string p, std::string map = {}) : path(std::move(p)), mapfile(std::move(map)) {}
    std::string path;
    // A GNU ddrescue mapfile of this image (empty: none): bytes it does not
    // mark '+' are fill, not data, and count as unreadable.
    std::string mapfile;
};

// A member-map slot as a value.
struct SlotKey {
    uint8_t row = 0;
    uint8_t column = 0;
    friend bool operator==(const SlotKey&, const SlotKey&) = default;
};

// One opened source.
struct MemberDisk {
    uint8_t diskId = 0;
    std::array<uint8_t, 8> tag{};
    std::unique_ptr<JIO> io;
    std::string source;      // the path it was opened from
    bool identified = false; // its first kilobyte was read in full
    // Why OpenSource failed or Identify could not read the first kilobyte
    // (UTF-8), empty otherwise.
    std::string problem;
    // Where the next Read starts: set by Seek, advanced by Read.
    uint64_t position = 0;
    JFileHandle::ReadPolicy policy;

    // Opens the path read-only through the disk-or-file factory. Only image
    // files and block devices are taken: a FIFO, a socket, a directory or a
    // character device is refused (false, with problem saying what it is)
    // before anything is read from it; opening never waits for a writer.
    bool OpenSource(const std::string& path);
    // Takes the bytes a ddrescue mapfile of this image does not mark '+',
    // and everything past its domain, as unreadable. False with error when
    // the map cannot be read or parsed; note says when the image and the
    // map disagree on the size.
    bool UseImagingMap(const std::string& mapfile, std::string& error, std::string& note);
    // Reads the first kilobyte. A failed or short read leaves the member
    // untagged (zero tag) and unidentified, so it never enters diskById.
    void Identify();
    bool HasMemberTag() const;
    // Raises code 11 when the seek fails.
    bool Seek(uint64_t offset);
    // Reads count bytes at position and moves it on. Fails when any byte
    // cannot be read (a bad block, or one the imaging map does not mark
    // rescued); ending at the end of the member is not a failure but a
    // short read. Raises code 9 when it fails and raiseOnFailure is set.
    // *transferred receives the bytes before the first unreadable one.
    bool Read(void* buffer, uint32_t count, uint64_t* transferred, bool raiseOnFailure);
    // The same read at position, telling exactly which bytes could not be
    // read (narrowed to the read policy's blocks): they are zero in buffer,
    // and so are those from a position the platform refused on, which
    // count as unreadable too. Does not move position.
    JFileHandle::ReadOutcome ReadRanges(void* buffer, uint32_t count);
};

// One 24-byte entry of a RAID information record, byte for byte.
struct RaidInfoEntry {
    std::array<uint8_t, 24> bytes{};
    bool Empty() const;
    uint8_t DiskId() const { return bytes[3]; }
};

struct RaidSlot {
    uint8_t missing = 0;
    uint8_t row = 0;
    uint8_t column = 0;
    uint8_t diskId = 0;
};

struct RaidInfoRecord {
    uint8_t number = 0; // place in its copy, from 1: the member-map row
    std::array<RaidInfoEntry, 16> entries{};
    std::vector<RaidSlot> slots;
    uint8_t slotCount = 0;
    // Sets slotCount and slots from entries and number.
    void BuildSlots();
};

// Bytes 0..29 of a 32-byte on-disk layout record.
struct LayoutRecord {
    std::array<uint8_t, 30> raw{};
    uint8_t type() const { return raw[0]; }
    uint8_t row() const { return raw[1]; }
};

// One LUN of the LUN list. group and id are 32-bit so that an index of more
// than 255 blocks, or a block of more than 255 records, keeps every LUN at
// its true place.
struct LunEntry {
    uint32_t group = 0;
    uint32_t id = 0;
    uint64_t sizeGiB = 0;
    uint64_t capacitySectors = 0; // as the header declares it
    std::vector<LayoutRecord> mapRecords;
    std::vector<LayoutRecord> stripeRecords;

    // Bytes the stripe records cover (count x 8 MiB).
    uint64_t CoveredBytes() const { return stripeRecords.size() * kRunSize; }
    // Bytes the header declares (sectors x 512, saturating).
    uint64_t DeclaredBytes() const;
    // The stripe records cover less than the declared capacity.
    bool ShortCoverage() const { return CoveredBytes() < DeclaredBytes(); }
};

// What the user must be told about a source whatever the front end and its
// verbosity: it lost its disk id to another source, its first kilobyte
// cannot be read, or it holds no slot of the member map. Each source gets
// at most one warning, and every source that holds no slot after a
// discovery has one.
struct SourceWarning {
    enum class Kind : uint8_t {
        DiskIdCollision, // `other` carries the same disk id and holds its slots
        Unidentified,    // the first kilobyte cannot be read
        NoSlot,          // identified, but no slot of the member map names it
    };
    static constexpr size_t kNone = static_cast<size_t>(-1);

    Kind kind = Kind::NoSlot;
    size_t member = kNone; // index into members
    size_t other = kNone;  // DiskIdCollision: the source that holds the slots
    uint8_t diskId = 0;
    std::string text;      // UTF-8, naming the sources
};

// The export layer keeps its reader matrix, stripe writer and target here;
// the engine only owns it and asks it to drop readers that point at members
// a new analysis is about to close.
struct ExportStateBase {
    virtual ~ExportStateBase() = default;
    virtual void ReleaseReaders() = 0;
};

// What the context is busy with. One job at a time: an analysis closes and
// reopens the members that an export's threads read.
enum class ContextJob : uint8_t { None = 0, Analysis = 1, Export = 2 };

class EvaContext {
public:
    EvaContext();
    ~EvaContext();
    EvaContext(const EvaContext&) = delete;
    EvaContext& operator=(const EvaContext&) = delete;

    // Reader matrix, stripe writer and export target (export layer). Declared
    // first so it is destroyed last, after the members its readers name.
    std::unique_ptr<ExportStateBase> exportState;

    std::array<MemberDisk*, kDiskIds> diskById{};
    std::vector<std::unique_ptr<RaidInfoRecord>> raidInfo;
    std::vector<std::unique_ptr<RaidInfoRecord>> raidInfoBackup;
    std::array<std::array<MemberDisk*, kColumns>, kRows> memberMap{};
    std::vector<std::unique_ptr<MemberDisk>> members;
    std::vector<std::unique_ptr<LunEntry>> lunList;
    std::vector<std::vector<LayoutRecord>> blockList;
    std::vector<SlotKey> missingSlots;
    std::vector<SourceEntry> sources;
    // How members are read: retries of a failed block and its size.
    JFileHandle::ReadPolicy readPolicy;
    // Sources to treat as missing (paths as given): the analysis opens and
    // reads them like the others, then takes them out of the member map, so
    // an export rebuilds their segments from parity (ExcludeSources).
    std::vector<std::string> exclude;
    // The member-map cells an exclusion emptied, with the member each held.
    struct ExcludedCell {
        SlotKey slot;
        MemberDisk* member = nullptr;
    };
    std::vector<ExcludedCell> excluded;

    // What the analysis noticed beside the LUN list (UTF-8 lines): sources
    // that could not be identified, disk ids carried twice, and so on.
    std::vector<std::string> notes;
    // Disk-id collisions and sources left out of the member map, in source
    // order. Front ends show these without being asked.
    std::vector<SourceWarning> warnings;

    // Opens the sources and reads the RAID information into the member map.
    void DiscoverArray();
    // The steps of DiscoverArray after every source is open and identified:
    // diskById, then the RAID information of the first tagged member that
    // has it (code 4 when none has). Callers that open members themselves
    // (test doubles, the fuzzer) start here.
    void DiscoverFromMembers();
    // diskById from members: a later source replaces an earlier one with
    // the same disk id, except that an untagged source never displaces a
    // tagged member. Warns about every source that lost its id or could not
    // be identified.
    void IndexMembersById();
    bool ReadRaidInfo(MemberDisk& member);
    // After the member map is filled: a warning for every source that holds
    // no slot and has none yet.
    void WarnUnusedSources();

    // LUN index, LUN headers, second indexes.
    void BuildLunLayout();
    void ScanLunIndex();
    void ReadLunHeaders();
    void ReadHeaderType8(const LayoutRecord& record, uint32_t group, uint32_t id);
    void ReadHeaderType16(const LayoutRecord& record, uint32_t group, uint32_t id);
    void ReadSecondIndex();
    void ReadSecondIndexType8(size_t lun);
    void ReadSecondIndexType16(size_t lun);

    // Claims the context for a job; false when another one holds it.
    bool BeginJob(ContextJob job);
    void EndJob();
    ContextJob CurrentJob() const { return static_cast<ContextJob>(m_job.load()); }

    // Empties everything an analysis fills (members closed, records, map,
    // missing slots, blocks, LUNs, notes, warnings); sources stay.
    void ResetAnalysis();

private:
    std::atomic<uint8_t> m_job{0};
};

// Holds the context for one job while it lives.
class ScopedJob {
public:
    ScopedJob(EvaContext& ctx, ContextJob job) : m_ctx(ctx), m_held(ctx.BeginJob(job)) {}
    ~ScopedJob()
    {
        if (m_held)
            m_ctx.EndJob();
    }
    ScopedJob(const ScopedJob&) = delete;
    ScopedJob& operator=(const ScopedJob&) = delete;
    bool Held() const { return m_held; }

private:
    EvaContext& m_ctx;
    bool m_held;
};

// UTF-16 path to the locale's narrow encoding; raises 15 (not valid UTF-16,
// e.g. an unpaired surrogate), 16 (no narrow form) or 17 (length mismatch).
std::string ToOemPath(const std::u16string& path);

} // namespace corvane
