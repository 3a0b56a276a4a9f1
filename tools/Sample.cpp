#include "tools/Sample.h"

#include "engine/Address.h"
#include "engine/Context.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::sample {

namespace {

// Where the array keeps its tables on the member that holds them.
constexpr uint64_t kIndexStart = 0x600000;      // first LUN index block
constexpr uint64_t kRaidPrimary = 0x1841800;    // RAID information, primary copy
constexpr uint64_t kRaidSecond = 0x1C41000;     // RAID information, second copy
constexpr uint64_t kRaidRecordSize = 2048;
constexpr uint64_t kRecordSize = 32;            // layout record on disk
constexpr uint32_t kRecordsPerBlock = 65536;
// Index blocks run from 6 MiB and must end before the primary RAID copy.
constexpr uint32_t kMaxIndexBlocks = static_cast<uint32_t>((kRaidPrimary - kIndexStart) / kSegmentSize);
// Headers, pieces and stripes start at 64 MiB or above, clear of the tables.
constexpr uint32_t kFirstAllocSegment = 32;
// Segment numbers are 20 bits; the largest one is kept for "unreadable".
constexpr uint32_t kUnreadableSegment = 0xFFFFF;
constexpr uint32_t kMaxSegment = kUnreadableSegment - 1;
constexpr uint32_t kMaxStripeRecords = static_cast<uint32_t>(kRunSize / kRecordSize);        // 262144
constexpr uint32_t kMaxStripesOnePieces = static_cast<uint32_t>(2 * kChunkSize / kRecordSize); // 8192
constexpr std::array<uint8_t, 8> kMemberTag = {0, 0, 0, 1, 0, 0, 0, 5};
// The bad stretch of a partly bad first alternative: one page mid-segment.
constexpr uint64_t kPartlyBadOffset = kSegmentSize / 2;
constexpr uint64_t kPartlyBadLength = 4096;

using JFileHandle::ExtentSet;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error("sample: " + what);
}

std::string ErrnoText()
{
    return std::strerror(errno);
}

// ---------------------------------------------------------------------------
// Member images

class Image {
public:
    Image(std::string path, uint32_t firstSegment) : m_path(std::move(path)), m_next(firstSegment)
    {
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            Fail("cannot create " + m_path + ": " + ErrnoText());
    }
    ~Image()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    void Write(uint64_t offset, const uint8_t* data, size_t len)
    {
        size_t done = 0;
        while (done < len) {
            const ssize_t n = ::pwrite(m_fd, data + done, len - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                Fail("write failed: " + m_path + " at " + std::to_string(offset + done) + " (+" +
                     std::to_string(len - done) + "): " + ErrnoText());
            }
            if (n == 0)
                Fail("write wrote nothing: " + m_path);
            done += static_cast<size_t>(n);
        }
        m_end = std::max(m_end, offset + len);
    }

    // Writes only the 4 KiB pages of data that hold a non-zero byte, so
    // mostly empty metadata segments stay sparse.
    void WriteSparse(uint64_t offset, const uint8_t* data, size_t len)
    {
        constexpr size_t kPage = 4096;
        for (size_t at = 0; at < len; at += kPage) {
            const size_t n = std::min(kPage, len - at);
            if (std::any_of(data + at, data + at + n, [](uint8_t b) { return b != 0; }))
                Write(offset + at, data + at, n);
        }
        m_end = std::max(m_end, offset + len);
    }

    // The image reaches at least to end, whatever is written.
    void Reserve(uint64_t end) { m_end = std::max(m_end, end); }

    uint32_t Allocate()
    {
        if (m_next > kMaxSegment)
            Fail(m_path + " has no segment numbers left");
        return m_next++;
    }

    // Sets the final length: at least everything allocated and the tables
    // area (so the read after the last table record succeeds), or the cut.
    uint64_t Finish(uint64_t truncateAt)
    {
        uint64_t size = std::max<uint64_t>(m_end, static_cast<uint64_t>(kFirstAllocSegment) * kSegmentSize);
        if (truncateAt != 0)
            size = truncateAt;
        if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0)
            Fail("cannot size " + m_path + ": " + ErrnoText());
        return size;
    }

    // Zeros [offset, offset + len) the way an imaging run leaves what it
    // could not read; punched out where the file system can, so the image
    // stays sparse.
    void Zero(uint64_t offset, uint64_t len)
    {
        if (len == 0)
            return;
        if (::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                        static_cast<off_t>(len)) == 0)
            return;
        const std::vector<uint8_t> zeros(static_cast<size_t>(std::min<uint64_t>(len, 1 << 20)));
        for (uint64_t at = 0; at < len; at += zeros.size())
            Write(offset + at, zeros.data(), static_cast<size_t>(std::min<uint64_t>(zeros.size(), len - at)));
    }

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    int m_fd = -1;
    uint64_t m_end = 0;
    uint32_t m_next;
};

// Reads [offset, offset + len) of a file; returns false when the file ends
// before len bytes (the caller treats that as an unreadable segment).
bool ReadExact(int fd, uint64_t offset, uint8_t* out, size_t len)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, out + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A finished ddrescue mapfile over [0, size): '-' on bad, '+' elsewhere.
std::string MapfileText(const ExtentSet& bad, uint64_t size)
{
    std::string text = "# Mapfile. Created by corvane-mksample\n"
                       "# current_pos  current_status  current_pass\n"
                       "0x00000000     +               1\n"
                       "#      pos        size  status\n";
    char line[64];
    auto block = [&](uint64_t pos, uint64_t len, char status) {
        if (len == 0)
            return;
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", pos, len, status);
        text += line;
    };
    uint64_t at = 0;
    for (const auto& e : bad.Within(0, size)) {
        block(at, e.offset - at, '+');
        block(e.offset, e.length, '-');
        at = e.End();
    }
    block(at, size - at, '+');
    return text;
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    if (!f)
        Fail("cannot write " + path);
}

// Where [from, to) of segment `position` lands in the stripe's LUN data
// (chunk by chunk), added to out at base.
void AddLunRanges(ExtentSet& out, uint64_t base, size_t position, uint64_t from, uint64_t to)
{
    while (from < to) {
        const uint64_t chunk = from / kChunkSize;
        const uint64_t end = std::min(to, (chunk + 1) * kChunkSize);
        out.Add(base + (4 * chunk + position) * kChunkSize + from % kChunkSize, end - from);
        from = end;
    }
}

// ---------------------------------------------------------------------------
// Layout records

struct Pos {
    uint8_t column = 0;
    uint32_t segment = 0;
};

using DiskRecord = std::array<uint8_t, kRecordSize>;

DiskRecord MakeRecord(uint8_t type, uint8_t row, const std::array<Pos, 8>& pos)
{
    DiskRecord r{};
    r[0] = type;
    r[1] = row;
    for (unsigned p = 0; p < 8; ++p) {
        r[5 + p] = static_cast<uint8_t>(((pos[p].segment >> 16) & 0x0F) << 4 | (pos[p].column & 0x0F));
        r[14 + 2 * p] = static_cast<uint8_t>(pos[p].segment >> 8);
        r[15 + 2 * p] = static_cast<uint8_t>(pos[p].segment);
    }
    return r;
}

void PutBE64(uint8_t* at, uint64_t v)
{
    for (int i = 7; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

// Splits 8 MiB laid out as the interleave into its four 2 MiB pieces:
// chunk 4k + m of run goes to chunk k of piece m.
void Deinterleave(const uint8_t* run, uint8_t* const pieces[4])
{
    for (uint64_t k = 0; k < kSegmentSize / kChunkSize; ++k)
        for (uint64_t m = 0; m < 4; ++m)
            std::memcpy(pieces[m] + k * kChunkSize, run + (4 * k + m) * kChunkSize, kChunkSize);
}

void XorInto(uint8_t* dst, const uint8_t* src, size_t len)
{
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, dst + i, 8);
        std::memcpy(&b, src + i, 8);
        a ^= b;
        std::memcpy(dst + i, &a, 8);
    }
    for (; i < len; ++i)
        dst[i] = static_cast<uint8_t>(dst[i] ^ src[i]);
}

// ---------------------------------------------------------------------------
// Pattern

constexpr uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// ---------------------------------------------------------------------------
// SHA-256

class Sha256 {
public:
    Sha256() : m_ctx(EVP_MD_CTX_new())
    {
        if (!m_ctx || EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) != 1)
            Fail("SHA-256 is not available");
    }
    ~Sha256() { EVP_MD_CTX_free(m_ctx); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const uint8_t* data, size_t len)
    {
        if (EVP_DigestUpdate(m_ctx, data, len) != 1)
            Fail("SHA-256 update failed");
    }
    std::string Hex()
    {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(m_ctx, md, &n) != 1)
            Fail("SHA-256 final failed");
        static const char* digits = "0123456789abcdef";
        std::string s;
        for (unsigned i = 0; i < n; ++i) {
            s += digits[md[i] >> 4];
            s += digits[md[i] & 0x0F];
        }
        return s;
    }

private:
    EVP_MD_CTX* m_ctx;
};

// ---------------------------------------------------------------------------
// The generator

struct Segments {
    std::vector<uint8_t> bytes; // several 2 MiB buffers side by side
    explicit Segments(size_t count) : bytes(count * kSegmentSize) {}
    uint8_t* at(size_t i) { return bytes.data() + i * kSegmentSize; }
};

struct StripePlace {
    std::array<Pos, 5> pos;
    std::array<int, 5> member; // index into groupPlan.members
};

class Generator {
public:
    Generator(const GroupPlan& groupPlan, const std::string& dir) : m_group(groupPlan), m_dir(dir) {}
    ~Generator()
    {
        for (int fd : m_dataFds)
            if (fd >= 0)
                ::close(fd);
    }
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    Manifest Run();

private:
    // Opens the LUNs' data files and grows each such LUN to hold its file.
    void OpenDataFiles();
    // Bytes [offset, offset + len) of LUN lunIndex's data: its file's
    // (zeros past the end) or the pattern.
    void LunBytes(size_t lunIndex, uint64_t offset, uint8_t* out, size_t len) const;
    void Validate();
    void WriteIdentification();
    void WriteRaidTables();
    void PlanLuns();
    void WriteLun(size_t lunIndex);
    void WriteIndex();
    void FinishImages();
    void ModelMemberMap();
    LunOut ExpectedLun(size_t lunIndex, uint32_t group, uint32_t id);
    // Bytes of the segment at member offset segmentOffset that do not read
    // from member (-1: none), relative to the segment.
    ExtentSet UnreadableInSegment(int member, uint64_t segmentOffset) const;
    std::string ManifestJson(const Manifest& m) const;

    // Columns of a row (1-based) that hold a member, in column order.
    std::vector<uint8_t> RowColumns(uint8_t row) const;
    // Writes a metadata segment on count alternatives spread over the row's
    // columns; fills count positions from first.
    // How the first alternative of a metadata segment is spoiled.
    enum class FirstCopy { Intact, Unreadable, Zero, PartlyBad };
    void PlaceCopies(uint8_t row, const uint8_t* segment, unsigned count, FirstCopy firstCopy,
                     std::array<Pos, 8>& out, unsigned first);
    bool InList(const std::vector<SlotRef>& list, unsigned row, unsigned column) const;
    static FirstCopy HeaderFirstCopy(const LunPlan& l)
    {
        return l.headerFirstAlternativeUnreadable ? FirstCopy::Unreadable
               : l.headerFirstAlternativeZero     ? FirstCopy::Zero
               : l.headerFirstAlternativePartlyBad ? FirstCopy::PartlyBad
                                                  : FirstCopy::Intact;
    }

    GroupPlan m_group; // a copy: a data file may grow its LUN
    std::string m_dir;
    std::vector<int> m_dataFds; // per LUN, -1 for the pattern
    std::vector<std::unique_ptr<Image>> m_images;
    std::vector<uint64_t> m_sizes;
    // Per member: its own faults plus those placed on it through the LUNs.
    std::vector<ExtentSet> m_unreadable;
    std::vector<ExtentSet> m_holes;
    int m_holder = -1;              // member with the tables and the index
    unsigned m_copyRotor = 0;       // spreads metadata copies over columns

    struct LunPlacement {
        uint32_t group = 0;
        uint32_t id = 0;
        uint64_t capacity = 0;
        uint64_t sizeGiB = 0;
        DiskRecord indexRecord{};
        std::vector<StripePlace> stripes;
    };
    std::vector<LunPlacement> m_plans;
    // Per LUN: stripes with stale bytes in a segment.
    std::map<size_t, std::set<uint32_t>> m_staleStripes;

    // Member (index into groupPlan.members) the analysis finds at a slot, -1 for
    // none, as discovery resolves the tables this generator wrote.
    std::array<std::array<int, kColumns>, kRows> m_resolved{};
};

void Generator::OpenDataFiles()
{
    m_dataFds.assign(m_group.luns.size(), -1);
    for (size_t i = 0; i < m_group.luns.size(); ++i) {
        LunPlan& l = m_group.luns[i];
        if (l.dataFile.empty())
            continue;
        const std::string name = "LUN " + std::to_string(i) + ": " + l.dataFile;
        const int fd = ::open(l.dataFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            Fail(name + ": cannot open: " + ErrnoText());
        m_dataFds[i] = fd;
        // lseek, not fstat: a block device has st_size 0.
        const off_t end = ::lseek(fd, 0, SEEK_END);
        if (end < 0)
            Fail(name + ": cannot find its size: " + ErrnoText());
        const uint64_t size = static_cast<uint64_t>(end);
        if (l.indexType != 8 || l.mapType == 0)
            Fail(name + ": the LUN has no stripe records to hold it (index type 16 or map type 0)");
        if (l.capacitySectors != 0 && size > l.capacitySectors * 512)
            Fail(name + " holds " + std::to_string(size) + " bytes, more than the LUN's declared capacity of " +
                 std::to_string(l.capacitySectors * 512) + " bytes");
        const uint64_t stripes = (size + kRunSize - 1) / kRunSize;
        if (stripes > kMaxStripeRecords)
            Fail(name + " holds " + std::to_string(size) + " bytes; at most 262144 stripes of 8 MiB fit a LUN here");
        l.stripes = std::max(l.stripes, static_cast<uint32_t>(stripes));
    }
}

void Generator::LunBytes(size_t lunIndex, uint64_t offset, uint8_t* out, size_t len) const
{
    const int fd = m_dataFds[lunIndex];
    if (fd < 0) {
        LunPattern(m_group.seed, lunIndex, offset, out, len);
        return;
    }
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, out + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("LUN " + std::to_string(lunIndex) + ": cannot read " + m_group.luns[lunIndex].dataFile + " at " +
                 std::to_string(offset + done) + ": " + ErrnoText());
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    std::memset(out + done, 0, len - done); // the padding to a whole stripe
}

bool Generator::InList(const std::vector<SlotRef>& list, unsigned row, unsigned column) const
{
    return std::any_of(list.begin(), list.end(),
                       [&](const SlotRef& s) { return s.row == row && s.column == column; });
}

void Generator::Validate()
{
    const auto& s = m_group;
    if (s.members.empty())
        Fail("a group needs at least one member");
    if (s.firstDataSegment < kFirstAllocSegment || s.firstDataSegment > kMaxSegment)
        Fail("the first data segment must lie between 32 and 0xFFFFE");
    if (s.rows.empty() || s.rows.size() > static_cast<size_t>(kRows - 1))
        Fail("a group needs 1 to 63 RAID rows, got " + std::to_string(s.rows.size()));
    for (size_t r = 0; r < s.rows.size(); ++r) {
        if (s.rows[r].size() > static_cast<size_t>(kColumns))
            Fail("row " + std::to_string(r + 1) + " has more than 15 columns");
        for (int m : s.rows[r]) {
            if (m < -1 || m >= static_cast<int>(s.members.size()))
                Fail("row " + std::to_string(r + 1) + " names member " + std::to_string(m) +
                     ", which does not exist");
            if (m >= 0 && s.members[static_cast<size_t>(m)].content != Content::Member)
                Fail("row " + std::to_string(r + 1) + " names member " + std::to_string(m) +
                     ", which is a blank or foreign source");
        }
    }
    for (const auto* list : {&s.primaryHoles, &s.emptySlots})
        for (const SlotRef& ref : *list)
            if (ref.row < 1 || ref.row > s.rows.size() || ref.column >= kColumns)
                Fail("slot (" + std::to_string(ref.row) + ", " + std::to_string(ref.column) +
                     ") is outside the RAID rows");
    std::map<uint32_t, uint32_t> perBlock;
    uint32_t blocks = 0;
    for (size_t i = 0; i < s.luns.size(); ++i) {
        const LunPlan& l = s.luns[i];
        const std::string name = "LUN " + std::to_string(i);
        if (l.block >= kMaxIndexBlocks)
            Fail(name + ": index block " + std::to_string(l.block) + " is beyond the last (" +
                 std::to_string(kMaxIndexBlocks - 1) + ")");
        if (++perBlock[l.block] > kRecordsPerBlock)
            Fail("index block " + std::to_string(l.block) + " holds more than 65536 records");
        blocks = std::max(blocks, l.block + 1);
        if (l.indexType != 8 && l.indexType != 16)
            Fail(name + ": index type must be 8 or 16");
        if (l.mapType != 8 && l.mapType != 16 && l.mapType != 0)
            Fail(name + ": map type must be 8, 16 or 0");
        if (l.row < 1 || l.row > s.rows.size())
            Fail(name + ": row " + std::to_string(l.row) + " is not a RAID row");
        if (l.stripes > kMaxStripeRecords)
            Fail(name + ": at most 262144 stripes fit a second index");
        const size_t columns = RowColumns(l.row).size();
        if (columns == 0)
            Fail(name + ": row " + std::to_string(l.row) + " has no member");
        if (l.indexType == 8 && l.mapType != 0 && l.stripes > 0 && columns < 5)
            Fail(name + ": row " + std::to_string(l.row) + " has " + std::to_string(columns) +
                 " columns; a stripe needs 5");
        if (l.headerFirstAlternativeUnreadable && l.headerFirstAlternativePartlyBad)
            Fail(name + ": the header's first alternative cannot be both unreadable and partly bad");
        if (l.pieceFirstAlternativeUnreadable && l.pieceFirstAlternativePartlyBad)
            Fail(name + ": the pieces' first alternative cannot be both unreadable and partly bad");
        const uint32_t written = (l.indexType == 8 && l.mapType != 0) ? l.stripes : 0;
        for (const StripeFault& f : l.faults) {
            const std::string what = name + ": fault in stripe " + std::to_string(f.stripe) + " position " +
                                     std::to_string(f.position) + " at " + std::to_string(f.offset);
            if (written == 0)
                Fail(what + ": the LUN has no stripe records (index type 16 or map type 0)");
            if (f.stripe >= written)
                Fail(what + ": the LUN has " + std::to_string(written) + " stripes");
            if (f.position > 4)
                Fail(what + ": positions are 0..4");
            if (f.offset >= kSegmentSize)
                Fail(what + ": the offset must lie inside the 2 MiB segment");
            if (f.length == 0)
                Fail(what + ": the length is 0");
            if (f.kind == FaultKind::Stale && f.length > kSegmentSize - f.offset)
                Fail(what + ": stale bytes must lie inside the segment");
        }
        if (l.staleMember >= static_cast<int>(s.members.size()) || l.staleMember < -1)
            Fail(name + ": staleMember " + std::to_string(l.staleMember) + " is not a member");
        for (uint32_t k : l.staleStripes)
            if (k >= written)
                Fail(name + ": stale stripe " + std::to_string(k) + ": the LUN has " + std::to_string(written) +
                     " stripes");
        if (!l.staleStripes.empty() && l.staleMember < 0)
            Fail(name + ": staleStripes needs a staleMember");
    }
    // The scan stops at the first block that does not begin with an index
    // record, so every block before the last used one must hold a LUN.
    for (uint32_t b = 0; b < blocks; ++b)
        if (!perBlock.count(b))
            Fail("index block " + std::to_string(b) + " holds no LUN, so later blocks would never be read");
}

std::vector<uint8_t> Generator::RowColumns(uint8_t row) const
{
    std::vector<uint8_t> cols;
    const auto& r = m_group.rows[row - 1];
    for (size_t c = 0; c < r.size(); ++c)
        if (r[c] >= 0)
            cols.push_back(static_cast<uint8_t>(c));
    return cols;
}

void Generator::WriteIdentification()
{
    for (size_t i = 0; i < m_group.members.size(); ++i) {
        const MemberPlan& m = m_group.members[i];
        if (m.content == Content::Blank)
            continue; // zeros only: the image is merely sized
        if (m.content == Content::Foreign) {
            // Another system's first MiB: noise, with the disk id planted
            // at byte 115 and never the member tag.
            std::vector<uint8_t> noise(1 << 20);
            for (size_t at = 0; at < noise.size(); at += 8) {
                const uint64_t w = Mix(m_group.seed ^ Mix(0x464F524549474EULL + i) ^ at);
                std::memcpy(noise.data() + at, &w, 8);
            }
            noise[16] = 0xFF;
            noise[115] = m.diskId;
            m_images[i]->Write(0, noise.data(), noise.size());
            continue;
        }
        std::array<uint8_t, kIdentSize> block{};
        // Something in the uninterpreted bytes, as a real label has.
        block[0] = 0xEA;
        block[1] = static_cast<uint8_t>(i);
        if (m.tagged)
            std::copy(kMemberTag.begin(), kMemberTag.end(), block.begin() + 16);
        block[115] = m.diskId;
        m_images[i]->Write(0, block.data(), block.size());
        if (m.tagged && m_holder < 0)
            m_holder = static_cast<int>(i);
    }
}

void Generator::WriteRaidTables()
{
    if (m_holder < 0)
        return; // no tagged member: a group the analysis must refuse
    const size_t rows = m_group.rows.size();
    std::vector<uint8_t> primary(rows * kRaidRecordSize);
    std::vector<uint8_t> second(rows * kRaidRecordSize);
    for (size_t r = 0; r < rows; ++r) {
        uint8_t* p = primary.data() + r * kRaidRecordSize;
        uint8_t* b = second.data() + r * kRaidRecordSize;
        for (uint8_t* rec : {p, b}) {
            rec[0] = 0x60;
            rec[1] = 0x01;
            rec[2] = static_cast<uint8_t>(r + 1);
        }
        const auto& row = m_group.rows[r];
        for (size_t c = 0; c < row.size(); ++c) {
            const unsigned rowNo = static_cast<unsigned>(r + 1);
            if (row[c] < 0 || InList(m_group.emptySlots, rowNo, static_cast<unsigned>(c)))
                continue;
            std::array<uint8_t, 24> entry{};
            entry[0] = 0x01; // never all zero, whatever the disk id
            entry[1] = static_cast<uint8_t>(rowNo);
            entry[2] = static_cast<uint8_t>(c);
            entry[3] = m_group.members[static_cast<size_t>(row[c])].diskId;
            entry[4] = 0x5A;
            std::copy(entry.begin(), entry.end(), b + 40 + 24 * c);
            if (!InList(m_group.primaryHoles, rowNo, static_cast<unsigned>(c)))
                std::copy(entry.begin(), entry.end(), p + 40 + 24 * c);
        }
    }
    Image& img = *m_images[static_cast<size_t>(m_holder)];
    img.Write(kRaidPrimary, primary.data(), primary.size());
    if (m_group.writeBackupCopy)
        img.Write(kRaidSecond, second.data(), second.size());
    // The record after each run stays zero: unsigned, so the run ends there.
}

void Generator::PlaceCopies(uint8_t row, const uint8_t* segment, unsigned count, FirstCopy firstCopy,
                            std::array<Pos, 8>& out, unsigned first)
{
    const std::vector<uint8_t> cols = RowColumns(row);
    const unsigned start = m_copyRotor++;
    for (unsigned i = 0; i < count; ++i) {
        const uint8_t col = cols[(start + i) % cols.size()];
        if (i == 0 && firstCopy == FirstCopy::Unreadable) {
            // A segment far beyond the member's end: the read there delivers
            // nothing and the next alternative must be taken.
            out[first + i] = {col, kUnreadableSegment};
            continue;
        }
        const size_t member = static_cast<size_t>(m_group.rows[row - 1][col]);
        Image& img = *m_images[member];
        const uint32_t seg = img.Allocate();
        // A zero copy is allocated but never written: it reads as zeros.
        if (i != 0 || firstCopy != FirstCopy::Zero)
            img.WriteSparse(SegmentOffset(seg), segment, kSegmentSize);
        img.Reserve(SegmentOffset(seg) + kSegmentSize);
        out[first + i] = {col, seg};
        if (i == 0 && firstCopy == FirstCopy::PartlyBad)
            m_unreadable[member].Add(SegmentOffset(seg) + kPartlyBadOffset, kPartlyBadLength);
    }
}

void Generator::PlanLuns()
{
    std::map<uint32_t, uint32_t> nextId;
    m_plans.resize(m_group.luns.size());
    for (size_t i = 0; i < m_group.luns.size(); ++i) {
        m_plans[i].group = m_group.luns[i].block;
        m_plans[i].id = nextId[m_group.luns[i].block]++;
    }
}

void Generator::WriteLun(size_t lunIndex)
{
    const LunPlan& l = m_group.luns[lunIndex];
    LunPlacement& plan = m_plans[lunIndex];
    plan.capacity = l.capacitySectors != 0 ? l.capacitySectors
                                           : static_cast<uint64_t>(l.stripes) * (kRunSize / 512);
    plan.sizeGiB = (plan.capacity * 512) / 0x40000000ULL; // wraps like the array's arithmetic
    const bool twoMapRecords = plan.sizeGiB > 1024;

    std::vector<uint8_t> header(kSegmentSize);
    std::array<Pos, 8> indexPos{};

    if (l.indexType == 16) {
        // Read and dropped by the analysis: a capacity and an empty map
        // record at 0x20, the same header behind all four groups.
        PutBE64(header.data() + 0x2008, plan.capacity);
        for (unsigned g = 0; g < 4; ++g)
            PlaceCopies(l.row, header.data(), 2, HeaderFirstCopy(l), indexPos, 2 * g);
        plan.indexRecord = MakeRecord(16, l.row, indexPos);
        return;
    }

    if (l.mapType == 8 && !twoMapRecords && l.stripes > kMaxStripesOnePieces)
        Fail("LUN " + std::to_string(lunIndex) + ": " + std::to_string(l.stripes) +
             " stripes need two map records, i.e. a capacity above 1024 GiB");

    // Stripes: five distinct columns of the row, parity rotating.
    if (l.mapType != 0 && l.stripes > 0) {
        const std::vector<uint8_t> cols = RowColumns(l.row);
        const size_t n = cols.size();
        Segments seg(5);
        std::vector<uint8_t> run(kRunSize);
        plan.stripes.resize(l.stripes);
        for (uint32_t k = 0; k < l.stripes; ++k) {
            LunBytes(lunIndex, static_cast<uint64_t>(k) * kRunSize, run.data(), run.size());
            uint8_t* const pieces[4] = {seg.at(0), seg.at(1), seg.at(2), seg.at(3)};
            Deinterleave(run.data(), pieces);
            std::memcpy(seg.at(4), seg.at(0), kSegmentSize);
            for (size_t p = 1; p < 4; ++p)
                XorInto(seg.at(4), seg.at(p), kSegmentSize);
            StripePlace& place = plan.stripes[k];
            const size_t start = (k + lunIndex) % n;
            for (size_t p = 0; p < 5; ++p) {
                const uint8_t col = cols[(start + p) % n];
                const int member = m_group.rows[l.row - 1][col];
                Image& img = *m_images[static_cast<size_t>(member)];
                const uint32_t s = img.Allocate();
                // Stale bytes: the parity was computed from the current data.
                std::vector<std::pair<uint64_t, uint64_t>> stale;
                if (member == l.staleMember &&
                    (l.staleStripes.empty() ||
                     std::find(l.staleStripes.begin(), l.staleStripes.end(), k) != l.staleStripes.end()))
                    stale.emplace_back(0, kSegmentSize);
                for (const StripeFault& f : l.faults)
                    if (f.kind == FaultKind::Stale && f.stripe == k && f.position == p)
                        stale.emplace_back(f.offset, f.length);
                for (const auto& [from, len] : stale)
                    for (uint64_t i = from; i < from + len; ++i)
                        seg.at(p)[i] ^= 0xA5;
                if (!stale.empty())
                    m_staleStripes[lunIndex].insert(k);
                img.Write(SegmentOffset(s), seg.at(p), kSegmentSize);
                place.pos[p] = {col, s};
                place.member[p] = member;
            }
        }
        for (const StripeFault& f : l.faults) {
            if (f.kind == FaultKind::Stale)
                continue;
            const StripePlace& place = plan.stripes[f.stripe];
            const size_t member = static_cast<size_t>(place.member[f.position]);
            const uint64_t at = SegmentOffset(place.pos[f.position].segment) + f.offset;
            (f.kind == FaultKind::Hole ? m_holes : m_unreadable)[member].Add(at, f.length);
        }
    }

    // Second index: the stripe records, then zeros (type 0 ends the run).
    std::array<Pos, 8> map1{}, map2{};
    if (l.mapType != 0) {
        std::vector<uint8_t> index(kRunSize);
        for (uint32_t k = 0; k < l.stripes; ++k) {
            std::array<Pos, 8> pos{};
            for (size_t p = 0; p < 5; ++p)
                pos[p] = plan.stripes[k].pos[p];
            const DiskRecord r = MakeRecord(20, l.row, pos);
            std::memcpy(index.data() + static_cast<uint64_t>(k) * kRecordSize, r.data(), r.size());
        }
        Segments pieces(4);
        uint8_t* const pp[4] = {pieces.at(0), pieces.at(1), pieces.at(2), pieces.at(3)};
        Deinterleave(index.data(), pp);
        const FirstCopy piece = l.pieceFirstAlternativeUnreadable ? FirstCopy::Unreadable
                                : l.pieceFirstAlternativeZero       ? FirstCopy::Zero
                                : l.pieceFirstAlternativePartlyBad  ? FirstCopy::PartlyBad
                                                                    : FirstCopy::Intact;
        if (l.mapType == 8) {
            PlaceCopies(l.row, pp[0], 4, piece, map1, 0);
            PlaceCopies(l.row, pp[1], 4, piece, map1, 4);
            if (twoMapRecords) {
                PlaceCopies(l.row, pp[2], 4, piece, map2, 0);
                PlaceCopies(l.row, pp[3], 4, piece, map2, 4);
            }
        } else {
            for (unsigned g = 0; g < 4; ++g)
                PlaceCopies(l.row, pp[g], 2, piece, map1, 2 * g);
            map2 = map1; // present when the LUN is large, never used
        }
    }

    PutBE64(header.data() + 0x2008, plan.capacity);
    if (l.mapType != 0) {
        const DiskRecord r1 = MakeRecord(l.mapType, l.row, map1);
        std::memcpy(header.data() + 0x40, r1.data(), r1.size());
        if (twoMapRecords) {
            const DiskRecord r2 = MakeRecord(l.mapType, l.row, map2);
            std::memcpy(header.data() + 0x60, r2.data(), r2.size());
        }
    }
    PlaceCopies(l.row, header.data(), 4, HeaderFirstCopy(l), indexPos, 0);
    // The second group of a type-8 index record is never used for the
    // header; it names the same places.
    for (unsigned p = 0; p < 4; ++p)
        indexPos[4 + p] = indexPos[p];
    plan.indexRecord = MakeRecord(8, l.row, indexPos);
}

void Generator::WriteIndex()
{
    if (m_holder < 0)
        return;
    std::map<uint32_t, std::vector<uint8_t>> blocks;
    for (size_t i = 0; i < m_plans.size(); ++i) {
        auto& block = blocks[m_plans[i].group];
        block.insert(block.end(), m_plans[i].indexRecord.begin(), m_plans[i].indexRecord.end());
    }
    Image& img = *m_images[static_cast<size_t>(m_holder)];
    for (const auto& [b, bytes] : blocks)
        img.Write(kIndexStart + b * kSegmentSize, bytes.data(), bytes.size());
    // The block after the last one is left zero: its byte 0 ends the index.
}

void Generator::FinishImages()
{
    m_sizes.resize(m_images.size());
    for (size_t i = 0; i < m_images.size(); ++i) {
        m_sizes[i] = m_images[i]->Finish(m_group.members[i].truncateAt);
        for (const auto& e : m_holes[i].Within(0, m_sizes[i]))
            m_images[i]->Zero(e.offset, e.length);
    }
}

void Generator::ModelMemberMap()
{
    for (auto& row : m_resolved)
        row.fill(-1);
    // The holder must be a source and its first kilobyte readable, or there
    // is no map at all.
    if (m_holder < 0)
        return;
    auto identified = [&](size_t i) {
        const MemberPlan& m = m_group.members[i];
        return m.present && m_sizes[i] >= kIdentSize && !m_unreadable[i].Intersects(0, kIdentSize) &&
               !m_holes[i].Intersects(0, kIdentSize);
    };
    if (!identified(static_cast<size_t>(m_holder)))
        return;
    // diskById: the last source with an id wins, but an untagged one never
    // displaces a tagged member; id 255 has no cell. A blank source reads
    // as untagged with disk id 0, a foreign one as untagged with its id.
    auto tagged = [&](size_t i) { return m_group.members[i].content == Content::Member && m_group.members[i].tagged; };
    auto idOf = [&](size_t i) { return m_group.members[i].content == Content::Blank ? 0 : m_group.members[i].diskId; };
    std::array<int, 256> byId;
    byId.fill(-1);
    for (size_t i = 0; i < m_group.members.size(); ++i) {
        if (!identified(i) || idOf(i) >= kDiskIds)
            continue;
        int& cell = byId[idOf(i)];
        if (cell < 0 || tagged(i) || !tagged(static_cast<size_t>(cell)))
            cell = static_cast<int>(i);
    }

    for (size_t r = 0; r < m_group.rows.size(); ++r) {
        const unsigned rowNo = static_cast<unsigned>(r + 1);
        const auto& row = m_group.rows[r];
        // Entries as written: disk id or -1 for an empty entry.
        std::array<int, 16> prim, back;
        prim.fill(-1);
        back.fill(-1);
        for (size_t c = 0; c < row.size(); ++c) {
            if (row[c] < 0 || InList(m_group.emptySlots, rowNo, static_cast<unsigned>(c)))
                continue;
            const int id = m_group.members[static_cast<size_t>(row[c])].diskId;
            back[c] = id;
            if (!InList(m_group.primaryHoles, rowNo, static_cast<unsigned>(c)))
                prim[c] = id;
        }
        auto slotCount = [](const std::array<int, 16>& e) {
            int n = 16;
            while (n > 0 && e[static_cast<size_t>(n - 1)] < 0)
                --n;
            return n;
        };
        const int np = slotCount(prim);
        // The second copy only fills holes among the slots both copies have.
        if (m_group.writeBackupCopy) {
            const int m = std::min(np, slotCount(back));
            for (int c = 0; c < m; ++c)
                if (prim[static_cast<size_t>(c)] < 0)
                    prim[static_cast<size_t>(c)] = back[static_cast<size_t>(c)];
        }
        for (int c = 0; c < np && c < kColumns; ++c) {
            const int id = prim[static_cast<size_t>(c)];
            if (id >= 0 && id < kDiskIds)
                m_resolved[rowNo][static_cast<size_t>(c)] = byId[static_cast<size_t>(id)];
        }
    }
}

LunOut Generator::ExpectedLun(size_t lunIndex, uint32_t group, uint32_t id)
{
    const LunPlan& l = m_group.luns[lunIndex];
    const LunPlacement& plan = m_plans[lunIndex];
    LunOut out;
    out.group = group;
    out.id = id;
    out.sizeGiB = plan.sizeGiB;
    out.capacitySectors = plan.capacity;
    out.stripes = static_cast<uint32_t>(plan.stripes.size());
    out.bytes = static_cast<uint64_t>(out.stripes) * kRunSize;

    Sha256 intact, exported;
    std::vector<uint8_t> run(kRunSize);
    Segments seg(5);
    std::map<int, int> fds; // resolved member -> read-only descriptor, opened on demand
    auto fdOf = [&](int member) {
        auto it = fds.find(member);
        if (it != fds.end())
            return it->second;
        const std::string& path = m_images[static_cast<size_t>(member)]->path();
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            Fail("cannot reopen " + path + ": " + ErrnoText());
        fds[member] = fd;
        return fd;
    };
    struct Closer {
        std::map<int, int>& f;
        ~Closer()
        {
            for (auto& kv : f)
                ::close(kv.second);
        }
    } closer{fds};

    ExtentSet zero; // LUN bytes lost
    for (uint32_t k = 0; k < out.stripes; ++k) {
        const StripePlace& place = plan.stripes[k];
        const uint64_t base = static_cast<uint64_t>(k) * kRunSize;
        LunBytes(lunIndex, base, run.data(), run.size());
        intact.Update(run.data(), run.size());

        std::array<int, 5> res{};
        std::array<uint64_t, 5> at{};
        std::array<ExtentSet, 5> bad;
        const auto stale = m_staleStripes.find(lunIndex);
        bool dataIntact = stale == m_staleStripes.end() || !stale->second.count(k);
        for (size_t p = 0; p < 5; ++p) {
            res[p] = m_resolved[l.row][place.pos[p].column];
            at[p] = SegmentOffset(place.pos[p].segment);
            bad[p] = UnreadableInSegment(res[p], at[p]);
            if (p < 4 && !(bad[p].Empty() && res[p] == place.member[p]))
                dataIntact = false;
        }
        // The usual stripe: its data reads whole from where it was written.
        if (dataIntact) {
            exported.Update(run.data(), run.size());
            continue;
        }
        // What the export reads: the readable bytes of each segment from
        // the member the map resolves to; the rest is zero until rebuilt.
        for (size_t p = 0; p < 5; ++p) {
            uint8_t* buf = seg.at(p);
            std::memset(buf, 0, kSegmentSize);
            if (bad[p].Covers(0, kSegmentSize))
                continue;
            const uint64_t size = m_sizes[static_cast<size_t>(res[p])];
            const size_t len = static_cast<size_t>(std::min<uint64_t>(kSegmentSize, size - at[p]));
            if (!ReadExact(fdOf(res[p]), at[p], buf, len))
                Fail("cannot read back " + m_images[static_cast<size_t>(res[p])]->path() + " at " +
                     std::to_string(at[p]));
            for (const auto& e : bad[p])
                std::memset(buf + e.offset, 0, static_cast<size_t>(e.length));
        }
        // Offset by offset inside the segments: the stretches between the
        // edges of the unreadable ranges, each with one set of them.
        std::vector<uint64_t> edges{0, kSegmentSize};
        for (const auto& b : bad)
            for (const auto& e : b) {
                edges.push_back(e.offset);
                edges.push_back(e.End());
            }
        std::sort(edges.begin(), edges.end());
        edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
        uint64_t rebuilt = 0, lost = 0;
        for (size_t i = 0; i + 1 < edges.size(); ++i) {
            const uint64_t from = edges[i], len = edges[i + 1] - from;
            std::vector<size_t> down;
            for (size_t p = 0; p < 5; ++p)
                if (bad[p].Intersects(from, len))
                    down.push_back(p);
            if (down.size() == 1 && down[0] < 4) {
                uint8_t* q = seg.at(down[0]) + from;
                for (size_t p = 0; p < 5; ++p)
                    if (p != down[0])
                        XorInto(q, seg.at(p) + from, static_cast<size_t>(len));
                rebuilt += len;
            } else if (down.size() >= 2) {
                for (size_t p : down)
                    if (p < 4) {
                        AddLunRanges(zero, base, p, from, from + len);
                        lost += len;
                    }
            }
        }
        out.rebuiltBytes += rebuilt;
        out.lostBytes += lost;
        if (lost > 0)
            ++out.damagedStripes;
        else if (rebuilt > 0)
            ++out.rebuiltStripes;
        const uint8_t* const pieces[4] = {seg.at(0), seg.at(1), seg.at(2), seg.at(3)};
        InterleaveChunks(pieces, run.data());
        exported.Update(run.data(), run.size());
    }
    for (const auto& e : zero)
        out.zeroRanges.emplace_back(e.offset, e.length);
    if (const auto it = m_staleStripes.find(lunIndex); it != m_staleStripes.end())
        out.inconsistentStripes.assign(it->second.begin(), it->second.end());
    out.sha256 = intact.Hex();
    out.exportSha256 = exported.Hex();
    return out;
}

ExtentSet Generator::UnreadableInSegment(int member, uint64_t segmentOffset) const
{
    ExtentSet bad;
    if (member < 0) {
        bad.Add(0, kSegmentSize);
        return bad;
    }
    const size_t m = static_cast<size_t>(member);
    const uint64_t size = m_sizes[m];
    if (size < segmentOffset + kSegmentSize) {
        const uint64_t readable = size > segmentOffset ? size - segmentOffset : 0;
        bad.Add(readable, kSegmentSize - readable);
    }
    bad.Add(m_unreadable[m].Relative(segmentOffset, kSegmentSize));
    bad.Add(m_holes[m].Relative(segmentOffset, kSegmentSize));
    return bad;
}

std::string Generator::ManifestJson(const Manifest& m) const
{
    nlohmann::ordered_json j;
    j["seed"] = m_group.seed;
    j["members"] = nlohmann::ordered_json::array();
    auto ranges = [](const ExtentSet& set) {
        nlohmann::ordered_json a = nlohmann::ordered_json::array();
        for (const auto& e : set)
            a.push_back({e.offset, e.length});
        return a;
    };
    auto pathOrNull = [](const std::string& path) {
        return path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(path);
    };
    for (const auto& mem : m.members)
        j["members"].push_back({{"path", mem.path},
                                {"diskId", mem.diskId},
                                {"tagged", mem.tagged},
                                {"present", mem.present},
                                {"unreadable", ranges(mem.unreadable)},
                                {"holes", ranges(mem.holes)},
                                {"imageMap", pathOrNull(mem.imageMap)},
                                {"badMap", pathOrNull(mem.badMap)}});
    j["sources"] = m.Sources();
    j["luns"] = nlohmann::ordered_json::array();
    for (const auto& l : m.luns) {
        nlohmann::ordered_json z = nlohmann::ordered_json::array();
        for (const auto& r : l.zeroRanges)
            z.push_back({r.first, r.second});
        j["luns"].push_back({{"group", l.group},
                             {"id", l.id},
                             {"sizeGiB", l.sizeGiB},
                             {"capacitySectors", l.capacitySectors},
                             {"stripes", l.stripes},
                             {"bytes", l.bytes},
                             {"sha256", l.sha256},
                             {"exportSha256", l.exportSha256},
                             {"zeroRanges", z},
                             {"lostBytes", l.lostBytes},
                             {"rebuiltBytes", l.rebuiltBytes},
                             {"rebuiltStripes", l.rebuiltStripes},
                             {"damagedStripes", l.damagedStripes},
                             {"inconsistentStripes", l.inconsistentStripes}});
    }
    return j.dump(2) + "\n";
}

Manifest Generator::Run()
{
    OpenDataFiles();
    Validate();
    std::error_code ec;
    std::filesystem::create_directories(m_dir, ec);
    if (ec)
        Fail("cannot create " + m_dir + ": " + ec.message());

    Manifest manifest;
    for (size_t i = 0; i < m_group.members.size(); ++i) {
        const std::string path = (std::filesystem::path(m_dir) / ("member" + std::to_string(i) + ".img")).string();
        m_images.push_back(std::make_unique<Image>(path, m_group.firstDataSegment));
        const MemberPlan& m = m_group.members[i];
        const bool member = m.content == Content::Member;
        manifest.members.push_back({path, m.content == Content::Blank ? uint8_t{0} : m.diskId, member && m.tagged,
                                    m.present, {}, {}, {}, {}});
        m_unreadable.push_back(m.unreadable);
        m_holes.push_back(m.holes);
    }
    WriteIdentification();
    WriteRaidTables();
    PlanLuns();
    for (size_t i = 0; i < m_group.luns.size(); ++i)
        WriteLun(i);
    WriteIndex();
    FinishImages();
    ModelMemberMap();
    for (size_t i = 0; i < m_images.size(); ++i) {
        MemberOut& mo = manifest.members[i];
        mo.unreadable = m_unreadable[i];
        mo.holes = m_holes[i];
        if (!mo.holes.Empty()) {
            mo.imageMap = mo.path + ".map";
            WriteText(mo.imageMap, MapfileText(mo.holes, m_sizes[i]));
        }
        if (!mo.unreadable.Empty()) {
            mo.badMap = (std::filesystem::path(m_dir) / ("member" + std::to_string(i) + ".bad.map")).string();
            WriteText(mo.badMap, MapfileText(mo.unreadable, m_sizes[i]));
        }
    }

    // The expected list: block by block, by place in the block; index
    // records of type 16 give no LUN.
    std::vector<size_t> order;
    for (size_t i = 0; i < m_group.luns.size(); ++i)
        if (m_group.luns[i].indexType == 8)
            order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::pair(m_plans[a].group, m_plans[a].id) < std::pair(m_plans[b].group, m_plans[b].id);
    });
    for (size_t i : order)
        manifest.luns.push_back(ExpectedLun(i, m_plans[i].group, m_plans[i].id));

    manifest.json = ManifestJson(manifest);
    const std::string mpath = (std::filesystem::path(m_dir) / "manifest.json").string();
    WriteText(mpath, manifest.json);
    return manifest;
}

// ---------------------------------------------------------------------------
// JSON description

template <typename T>
T Get(const nlohmann::json& j, const char* key, T fallback)
{
    if (!j.contains(key))
        return fallback;
    try {
        return j.at(key).get<T>();
    } catch (const nlohmann::json::exception& e) {
        Fail(std::string("\"") + key + "\": " + e.what());
    }
}

void OnlyKeys(const nlohmann::json& j, const std::set<std::string>& keys, const std::string& where)
{
    if (!j.is_object())
        Fail(where + " must be an object");
    for (const auto& [k, v] : j.items())
        if (!keys.count(k))
            Fail(where + ": unknown key \"" + k + "\"");
}

template <typename T>
T Narrow(uint64_t v, const char* what)
{
    if (v > std::numeric_limits<T>::max())
        Fail(std::string(what) + " " + std::to_string(v) + " is too large");
    return static_cast<T>(v);
}

std::vector<SlotRef> SlotsFromJson(const nlohmann::json& j, const char* key)
{
    std::vector<SlotRef> out;
    if (!j.contains(key))
        return out;
    if (!j.at(key).is_array())
        Fail(std::string(key) + " must be an array");
    for (const auto& s : j.at(key)) {
        OnlyKeys(s, {"row", "column"}, key);
        out.push_back({Narrow<uint8_t>(Get<uint64_t>(s, "row", 1), "row"),
                       Narrow<uint8_t>(Get<uint64_t>(s, "column", 0), "column")});
    }
    return out;
}

// [[offset, length], ...] into a set; an empty range is refused, as it is
// most likely a mistake.
ExtentSet RangesFromJson(const nlohmann::json& j, const char* key, const std::string& where)
{
    ExtentSet out;
    if (!j.contains(key))
        return out;
    const auto& a = j.at(key);
    if (!a.is_array())
        Fail(where + ": \"" + key + "\" must be an array of [offset, length]");
    for (const auto& r : a) {
        if (!r.is_array() || r.size() != 2 || !r[0].is_number_unsigned() || !r[1].is_number_unsigned())
            Fail(where + ": \"" + key + "\": " + r.dump() + " is not [offset, length]");
        const uint64_t offset = r[0].get<uint64_t>(), length = r[1].get<uint64_t>();
        if (length == 0)
            Fail(where + ": \"" + key + "\": the range at " + std::to_string(offset) + " is empty");
        if (length > std::numeric_limits<uint64_t>::max() - offset)
            Fail(where + ": \"" + key + "\": the range at " + std::to_string(offset) + " runs past 2^64");
        out.Add(offset, length);
    }
    return out;
}

std::vector<StripeFault> FaultsFromJson(const nlohmann::json& j)
{
    std::vector<StripeFault> out;
    if (!j.contains("faults"))
        return out;
    if (!j.at("faults").is_array())
        Fail("\"faults\" must be an array");
    for (const auto& f : j.at("faults")) {
        OnlyKeys(f, {"stripe", "position", "offset", "length", "kind"}, "fault");
        StripeFault sf;
        sf.stripe = Narrow<uint32_t>(Get<uint64_t>(f, "stripe", 0), "stripe");
        sf.position = Narrow<uint8_t>(Get<uint64_t>(f, "position", 0), "position");
        sf.offset = Get<uint64_t>(f, "offset", 0);
        sf.length = Get<uint64_t>(f, "length", 0);
        const std::string kind = Get<std::string>(f, "kind", "unreadable");
        if (kind == "hole")
            sf.kind = FaultKind::Hole;
        else if (kind == "stale")
            sf.kind = FaultKind::Stale;
        else if (kind != "unreadable")
            Fail("fault: \"kind\" is \"unreadable\", \"hole\" or \"stale\", not \"" + kind + "\"");
        out.push_back(sf);
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------------------
// Public interface

std::vector<std::string> Manifest::Sources() const
{
    std::vector<std::string> out;
    for (const auto& m : members)
        if (m.present)
            out.push_back(m.path);
    return out;
}

Manifest Generate(const GroupPlan& groupPlan, const std::string& dir)
{
    Generator g(groupPlan, dir);
    return g.Run();
}

GroupPlan HealthyGroup(int members, const std::vector<uint32_t>& lunStripes, uint64_t seed)
{
    if (members < 5 || members > kDiskIds)
        Fail("a healthy group has 5 to 255 members, not " + std::to_string(members));
    GroupPlan groupPlan;
    groupPlan.seed = seed;
    for (int i = 0; i < members; ++i)
        groupPlan.members.push_back({static_cast<uint8_t>(i), true, true, 0, {}, {}});
    // Rows as even as the 15-column limit allows, so each has 5 or more.
    const int rows = (members + kColumns - 1) / kColumns;
    int next = 0;
    for (int r = 0; r < rows; ++r) {
        const int width = members / rows + (r < members % rows ? 1 : 0);
        std::vector<int> row;
        for (int c = 0; c < width; ++c)
            row.push_back(next++);
        groupPlan.rows.push_back(std::move(row));
    }
    for (size_t i = 0; i < lunStripes.size(); ++i) {
        LunPlan l;
        l.stripes = lunStripes[i];
        l.row = static_cast<uint8_t>(1 + i % static_cast<size_t>(rows));
        groupPlan.luns.push_back(l);
    }
    return groupPlan;
}

GroupPlan PlanFromJson(const std::string& text)
{
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        Fail(std::string("bad JSON: ") + e.what());
    }
    OnlyKeys(j, {"seed", "healthy", "members", "rows", "luns", "primaryHoles", "emptySlots", "writeBackupCopy",
              "firstDataSegment"},
             "group");
    GroupPlan groupPlan;
    if (j.contains("healthy")) {
        const auto& h = j.at("healthy");
        OnlyKeys(h, {"members", "lunStripes"}, "healthy");
        groupPlan = HealthyGroup(Get<int>(h, "members", 6), Get<std::vector<uint32_t>>(h, "lunStripes", {}),
                            Get<uint64_t>(j, "seed", 1));
    }
    groupPlan.seed = Get<uint64_t>(j, "seed", groupPlan.seed);
    if (j.contains("members")) {
        if (!j.at("members").is_array())
            Fail("members must be an array");
        groupPlan.members.clear();
        for (const auto& m : j.at("members")) {
            OnlyKeys(m, {"diskId", "tagged", "present", "truncateAt", "unreadable", "holes", "content"}, "member");
            MemberPlan ms;
            ms.diskId = Narrow<uint8_t>(Get<uint64_t>(m, "diskId", 0), "diskId");
            ms.tagged = Get<bool>(m, "tagged", true);
            ms.present = Get<bool>(m, "present", true);
            ms.truncateAt = Get<uint64_t>(m, "truncateAt", 0);
            const std::string where = "member " + std::to_string(groupPlan.members.size());
            ms.unreadable = RangesFromJson(m, "unreadable", where);
            ms.holes = RangesFromJson(m, "holes", where);
            const std::string content = Get<std::string>(m, "content", "member");
            if (content == "blank")
                ms.content = Content::Blank;
            else if (content == "foreign")
                ms.content = Content::Foreign;
            else if (content != "member")
                Fail("member content must be \"member\", \"blank\" or \"foreign\", not \"" + content + "\"");
            groupPlan.members.push_back(ms);
        }
    }
    if (j.contains("rows"))
        groupPlan.rows = Get<std::vector<std::vector<int>>>(j, "rows", {});
    if (j.contains("luns")) {
        if (!j.at("luns").is_array())
            Fail("luns must be an array");
        groupPlan.luns.clear();
        for (const auto& l : j.at("luns")) {
            OnlyKeys(l,
                     {"block", "stripes", "capacitySectors", "indexType", "mapType", "row",
                      "headerFirstAlternativeUnreadable", "pieceFirstAlternativeUnreadable",
                      "headerFirstAlternativePartlyBad", "pieceFirstAlternativePartlyBad", "faults",
                      "headerFirstAlternativeZero", "pieceFirstAlternativeZero", "dataFile", "staleMember",
                      "staleStripes"},
                     "LUN");
            LunPlan ls;
            ls.block = Narrow<uint32_t>(Get<uint64_t>(l, "block", 0), "block");
            ls.stripes = Narrow<uint32_t>(Get<uint64_t>(l, "stripes", 1), "stripes");
            ls.capacitySectors = Get<uint64_t>(l, "capacitySectors", 0);
            ls.indexType = Narrow<uint8_t>(Get<uint64_t>(l, "indexType", 8), "indexType");
            ls.mapType = Narrow<uint8_t>(Get<uint64_t>(l, "mapType", 8), "mapType");
            ls.row = Narrow<uint8_t>(Get<uint64_t>(l, "row", 1), "row");
            ls.headerFirstAlternativeUnreadable = Get<bool>(l, "headerFirstAlternativeUnreadable", false);
            ls.pieceFirstAlternativeUnreadable = Get<bool>(l, "pieceFirstAlternativeUnreadable", false);
            ls.headerFirstAlternativePartlyBad = Get<bool>(l, "headerFirstAlternativePartlyBad", false);
            ls.pieceFirstAlternativePartlyBad = Get<bool>(l, "pieceFirstAlternativePartlyBad", false);
            ls.faults = FaultsFromJson(l);
            ls.headerFirstAlternativeZero = Get<bool>(l, "headerFirstAlternativeZero", false);
            ls.pieceFirstAlternativeZero = Get<bool>(l, "pieceFirstAlternativeZero", false);
            ls.dataFile = Get<std::string>(l, "dataFile", "");
            const int64_t staleMember = Get<int64_t>(l, "staleMember", -1);
            if (staleMember < -1 || staleMember > 0xFFFF)
                Fail("staleMember " + std::to_string(staleMember) + " is not a member");
            ls.staleMember = static_cast<int>(staleMember);
            ls.staleStripes = Get<std::vector<uint32_t>>(l, "staleStripes", {});
            groupPlan.luns.push_back(ls);
        }
    }
    if (j.contains("primaryHoles"))
        groupPlan.primaryHoles = SlotsFromJson(j, "primaryHoles");
    if (j.contains("emptySlots"))
        groupPlan.emptySlots = SlotsFromJson(j, "emptySlots");
    groupPlan.writeBackupCopy = Get<bool>(j, "writeBackupCopy", groupPlan.writeBackupCopy);
    groupPlan.firstDataSegment =
        Narrow<uint32_t>(Get<uint64_t>(j, "firstDataSegment", groupPlan.firstDataSegment), "firstDataSegment");
    return groupPlan;
}

void LunPattern(uint64_t seed, size_t lunIndex, uint64_t offset, uint8_t* out, size_t len)
{
    const uint64_t key = Mix(seed ^ Mix(0x4C554E0000000000ULL + lunIndex));
    size_t i = 0;
    // Leading bytes up to a word boundary.
    while (i < len && (offset + i) % 8 != 0) {
        const uint64_t o = offset + i;
        out[i++] = static_cast<uint8_t>(Mix(key ^ (o / 8)) >> (8 * (o % 8)));
    }
    for (; i + 8 <= len; i += 8) {
        uint64_t w = Mix(key ^ ((offset + i) / 8));
        for (size_t b = 0; b < 8; ++b) {
            out[i + b] = static_cast<uint8_t>(w);
            w >>= 8;
        }
    }
    for (; i < len; ++i) {
        const uint64_t o = offset + i;
        out[i] = static_cast<uint8_t>(Mix(key ^ (o / 8)) >> (8 * (o % 8)));
    }
}

std::string Sha256OfFile(const std::string& path, uint64_t offset, uint64_t length)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fail("cannot open " + path + ": " + ErrnoText());
    Sha256 sha;
    std::vector<uint8_t> buf(4 << 20);
    uint64_t done = 0;
    bool ok = true;
    while (done < length) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), length - done));
        if (!ReadExact(fd, offset + done, buf.data(), n)) {
            ok = false;
            break;
        }
        sha.Update(buf.data(), n);
        done += n;
    }
    ::close(fd);
    if (!ok)
        Fail("cannot read " + path + " at " + std::to_string(offset + done) + " (+" +
             std::to_string(length - done) + "): file too short or read error");
    return sha.Hex();
}

} // namespace corvane::sample
