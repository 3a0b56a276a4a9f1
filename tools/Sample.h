// Synthetic disk groups in the array's exact on-disk format, for tests, the
// demo and the benchmarks. Member images are sparse files; LUN contents are
// a deterministic pattern from a seed, so every expected byte can be
// recomputed.
#pragma once

#include "disk/Extents.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::sample {

// What an image holds. A blank or foreign source is a stray among the
// members (no row may name it): a new disk of zeros only (disk id 0, no
// tag), or another system's disk whose first MiB is pseudo-random bytes
// from the seed with byte 115 set to diskId and no member tag.
enum class Content { Member, Blank, Foreign };

struct MemberPlan {
    uint8_t diskId = 0;
    bool tagged = true;   // carries the member tag in its first kilobyte
    bool present = true;  // false: written, but left out of the source list (a lost member)
    // Non-zero: the image is cut to this many bytes after everything is
    // written, so reads beyond it are short (a damaged or truncated region).
    uint64_t truncateAt = 0;
    // Member byte ranges whose reads fail with EIO (bad sectors). The image
    // keeps the bytes as written; a test double or nbdkit serves the failure
    // from member<N>.bad.map.
    JFileHandle::ExtentSet unreadable;
    // Member byte ranges an imaging run could not read: the image holds
    // zeros there, and member<N>.img.map (ddrescue's format) marks them '-'.
    JFileHandle::ExtentSet holes;
    Content content = Content::Member;
};

// Unreadable: the bytes fail to read. Hole: an imaging run could not read
// them. Stale: they read, but hold other bytes than the stripe's parity
// says (older data, as on a member the array dropped long ago); the
// manifest's sha256 stays the current data.
enum class FaultKind { Unreadable, Hole, Stale };

// A fault in LUN terms: bytes of one segment of one stripe. The generator
// finds the member and its offset, so a test need not know the placement.
struct StripeFault {
    uint32_t stripe = 0;   // stripe record index
    uint8_t position = 0;  // 0..3 data, 4 parity
    uint64_t offset = 0;   // inside the segment, below 2 MiB
    uint64_t length = 0;   // may run past the segment's end into the next bytes of the member (not Stale)
    FaultKind kind = FaultKind::Unreadable;
};

struct LunPlan {
    uint32_t block = 0;          // index block (the LUN's group), 0..8; no block may be skipped
    uint32_t stripes = 1;        // stripe records; LUN data = stripes x 8 MiB
    uint64_t capacitySectors = 0; // declared capacity; 0: stripes x 8 MiB / 512
    uint8_t indexType = 8;       // index record type: 8, or 16 (read, then dropped: no LUN)
    uint8_t mapType = 8;         // first map record's type: 8, 16, or 0 (no stripe records)
    uint8_t row = 1;             // member-map row of its header, pieces and stripes (5+ members for stripes)
    // The first alternative of the header / of every second-index piece
    // names a segment beyond the end of its member, so only the next
    // alternative reads.
    bool headerFirstAlternativeUnreadable = false;
    bool pieceFirstAlternativeUnreadable = false;
    // The first alternative is written, but 4 KiB in the middle of its
    // segment do not read (EIO), so again only the next alternative reads
    // whole.
    bool headerFirstAlternativePartlyBad = false;
    bool pieceFirstAlternativePartlyBad = false;
    // Faults in this LUN's stripe segments, added to their members' ranges.
    std::vector<StripeFault> faults;
    // A stale member (index into members, -1: none): its whole segment in
    // each of staleStripes (empty: every stripe it serves) holds older data.
    int staleMember = -1;
    std::vector<uint32_t> staleStripes;
    // The first alternative names a segment that reads in full but holds
    // only zeros (never written, or an imaging tool's fill).
    bool headerFirstAlternativeZero = false;
    bool pieceFirstAlternativeZero = false;
    // The run of stripe records ends with a zero record (type 0).
    // Non-empty: the LUN's data is this file's bytes, padded with zeros to
    // whole stripes, instead of the pattern. The LUN grows to hold the file
    // (stripes); a declared capacity below the file's size is refused.
    std::string dataFile;
};

struct SlotRef {
    uint8_t row = 1;    // RAID record number (member-map row), from 1
    uint8_t column = 0; // entry place, 0..14
};

struct GroupPlan {
    uint64_t seed = 1;
    std::vector<MemberPlan> members;
    // rows[r - 1][c] = index into members of the member holding slot (r, c),
    // or -1 for an entry left empty in both copies; up to 63 rows of 15.
    // The first tagged member in members order holds the tables; metadata
    // copies and stripe segments go on the members of the LUN's row,
    // alternatives and a stripe's five segments on distinct columns.
    std::vector<std::vector<int>> rows;
    std::vector<LunPlan> luns;
    // Entries left empty in the primary RAID copy but kept in the second copy.
    std::vector<SlotRef> primaryHoles;
    // Entries left empty in both copies (the slot is missing).
    std::vector<SlotRef> emptySlots;
    bool writeBackupCopy = true;
    // Segment number from which headers, second-index pieces and stripes are
    // allocated on every member (32 = 64 MiB, clear of the tables). Above
    // 0xFFFF the positions use the high nibble of their 20-bit segment
    // number and offsets lie beyond 4 GiB (the images stay sparse).
    uint32_t firstDataSegment = 32;
};

struct MemberOut {
    std::string path;
    uint8_t diskId = 0;
    bool tagged = true;
    bool present = true;
    // The member's faults with those of the LUNs and alternatives placed on
    // it, in member byte offsets.
    JFileHandle::ExtentSet unreadable;
    JFileHandle::ExtentSet holes;
    // member<N>.img.map: the imaging map of a member with holes ('-' at the
    // holes, '+' elsewhere, up to the image size); empty when it has none.
    std::string imageMap;
    // member<N>.bad.map: '-' at the unreadable ranges, for
    // nbdkit --filter=ddrescue or a test double; empty when none.
    std::string badMap;
};

struct LunOut {
    uint32_t group = 0;
    uint32_t id = 0;
    uint64_t sizeGiB = 0;
    uint64_t capacitySectors = 0;  // as the header declares it
    uint32_t stripes = 0;          // stripe records the analysis must find
    uint64_t bytes = 0;            // stripes x 8 MiB: the export's length
    std::string sha256;            // of the intact LUN data (bytes long)
    // What a correct export yields given the faults, byte by byte: a data
    // byte is read where its segment reads, rebuilt from the other four
    // where exactly one of the stripe's five segments is unreadable at that
    // offset, and zero where two or more are. sha256 of that and the
    // zero-filled LUN ranges.
    std::string exportSha256;
    std::vector<std::pair<uint64_t, uint64_t>> zeroRanges; // (offset, length), merged, sorted
    uint64_t lostBytes = 0;        // data bytes zero-filled (the total of zeroRanges)
    uint64_t rebuiltBytes = 0;     // data bytes unreadable, rebuilt from parity
    uint32_t rebuiltStripes = 0;   // stripes with rebuilt bytes and none lost
    uint32_t damagedStripes = 0;   // stripes with lost bytes
    // Stripes whose segments disagree with their parity (stale bytes).
    std::vector<uint32_t> inconsistentStripes;
};

// The expected LUN list assumes the analysis succeeds on Sources() (with
// each imageMap given for its image). How the export fares is modelled on
// the tables as written: a slot resolves through the primary RAID copy
// (holes filled from the second copy where both copies have the slot), disk
// ids of the present members (a later one wins). A segment is unreadable at
// a byte when its slot resolves to no member, or the byte lies beyond the
// end of the member's image or in its unreadable ranges or holes; what a
// slot resolving to another member holds is read as it is.
// The expected LUN list assumes the analysis succeeds on Sources(). How the
// export fares is modelled on the tables as written: a slot resolves through
// the primary RAID copy (holes filled from the second copy where both copies
// have the slot), disk ids of the present members (a later one wins, except
// that an untagged source never displaces a tagged member); a
// segment is missing when its slot resolves to no member or its member ends
// before the segment's last byte (a short read counts as a failed one).
struct Manifest {
    std::vector<MemberOut> members; // all images, in members order
    std::vector<LunOut> luns;       // the expected LUN list, in list order
    std::string json;               // the manifest as written to manifest.json

    // Paths of the present members, in order: the sources to analyse.
    std::vector<std::string> Sources() const;
};

// Writes member<N>.img (N from 0), the mapfiles of members with faults and
// manifest.json into dir (created if needed). Throws std::runtime_error with a clear message on bad input or
// I/O failure.
Manifest Generate(const GroupPlan& groupPlan, const std::string& dir);

// Parses the small JSON description corvane-mksample takes.
GroupPlan PlanFromJson(const std::string& text);

// A healthy group: `members` members (disk ids 0..members-1), RAID rows of
// up to 15 columns each covering them, and one LUN per entry of lunStripes.
GroupPlan HealthyGroup(int members, const std::vector<uint32_t>& lunStripes, uint64_t seed = 1);

// Byte `offset` onwards of LUN lunIndex (its place in groupPlan.luns) as
// generated: fills out[0..len).
void LunPattern(uint64_t seed, size_t lunIndex, uint64_t offset, uint8_t* out, size_t len);

// Lower-case hex SHA-256 of a file's bytes [offset, offset + length).
std::string Sha256OfFile(const std::string& path, uint64_t offset, uint64_t length);

} // namespace corvane::sample
