// In-memory members for analysis tests and the fuzzer: a sparse disk with
// faults at chosen offsets, and small writers for the array's on-disk
// structures (identification block, RAID records, layout records, headers,
// second-index pieces), written independently of the engine's readers.
#pragma once

#include "disk/JIO.h"
#include "engine/Context.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace corvane::test {

// A member held in memory as 4 KiB pages over a fixed size; unwritten pages
// read as zero. Reads stop at the size like a file's. Faults: a read that
// touches a failing range fails (EIO) and moves nothing; a seek to a failing
// offset fails. Counters tell what the engine asked for.
class MemoryDisk : public JFileHandle::JIO {
public:
    static constexpr uint64_t kPage = 4096;

    explicit MemoryDisk(uint64_t size) { m_size = size; }

    void Put(uint64_t offset, const void* data, size_t len)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        while (len > 0) {
            auto& page = m_pages[offset / kPage];
            if (page.empty())
                page.assign(kPage, 0);
            const size_t at = static_cast<size_t>(offset % kPage);
            const size_t n = std::min<size_t>(len, kPage - at);
            std::memcpy(page.data() + at, p, n);
            p += n;
            offset += n;
            len -= n;
        }
    }
    void PutByte(uint64_t offset, uint8_t b) { Put(offset, &b, 1); }

    void Resize(uint64_t size) { m_size = size; }
    void FailReads(uint64_t offset, uint64_t len) { m_badReads.emplace_back(offset, len); }
    void FailSeeksTo(uint64_t offset) { m_badSeeks.push_back(offset); }

    uint64_t QuerySize() override { return m_size; }

    bool Seek(uint64_t offset) override
    {
        ++seeks;
        if (std::find(m_badSeeks.begin(), m_badSeeks.end(), offset) != m_badSeeks.end()) {
            errno = EIO;
            return false;
        }
        m_pos = offset;
        return true;
    }

    bool Read(void* buffer, uint32_t count, uint64_t* transferred) override
    {
        uint64_t got = 0;
        const bool ok = ReadAt(m_pos, buffer, count, &got);
        m_pos += got;
        if (transferred)
            *transferred = got;
        return ok;
    }

    bool ReadAt(uint64_t offset, void* buffer, uint32_t count, uint64_t* transferred) override
    {
        ++reads;
        if (transferred)
            *transferred = 0;
        const uint64_t n = offset >= m_size ? 0 : std::min<uint64_t>(count, m_size - offset);
        for (const auto& [at, len] : m_badReads) {
            if (n > 0 && offset < at + len && at < offset + n) {
                errno = EIO;
                return false;
            }
        }
        // Written pages are copied, the gaps between them cleared.
        auto* out = static_cast<uint8_t*>(buffer);
        uint64_t done = offset;
        for (auto it = m_pages.lower_bound(offset / kPage); it != m_pages.end() && it->first * kPage < offset + n;
             ++it) {
            const uint64_t pageStart = it->first * kPage;
            const uint64_t from = std::max(pageStart, offset);
            const uint64_t to = std::min(pageStart + kPage, offset + n);
            std::memset(out + (done - offset), 0, from - done);
            std::memcpy(out + (from - offset), it->second.data() + (from - pageStart), to - from);
            done = to;
        }
        std::memset(out + (done - offset), 0, offset + n - done);
        bytesRead += n;
        if (transferred)
            *transferred = n;
        return true;
    }

    uint64_t bytesRead = 0;
    uint64_t reads = 0;
    uint64_t seeks = 0;

private:
    std::map<uint64_t, std::vector<uint8_t>> m_pages;
    std::vector<std::pair<uint64_t, uint64_t>> m_badReads;
    std::vector<uint64_t> m_badSeeks;
    uint64_t m_pos = 0;
};

// Appends a member backed by disk to the context and identifies it, as
// discovery does after opening a source. Returns the disk for later faults.
inline MemoryDisk* AddMember(EvaContext& ctx, std::unique_ptr<MemoryDisk> disk, const std::string& name)
{
    MemoryDisk* raw = disk.get();
    auto m = std::make_unique<MemberDisk>();
    m->source = name;
    m->io = std::move(disk);
    m->Identify();
    ctx.members.push_back(std::move(m));
    return raw;
}

// ---------------------------------------------------------------------------
// On-disk structures

inline constexpr uint64_t kRaidPrimaryAt = 0x1841800;
inline constexpr uint64_t kRaidSecondAt = 0x1C41000;
inline constexpr uint64_t kIndexAt = 0x600000;
inline constexpr std::array<uint8_t, 8> kTag = {0, 0, 0, 1, 0, 0, 0, 5};

inline void PutIdentity(MemoryDisk& d, uint8_t diskId, bool tagged)
{
    std::array<uint8_t, 1024> block{};
    block[0] = 0xEA; // uninterpreted bytes are not zero on a real label
    if (tagged)
        std::copy(kTag.begin(), kTag.end(), block.begin() + 16);
    block[115] = diskId;
    d.Put(0, block.data(), block.size());
}

// RAID record `number` (from 1) of the copy at copyStart: ids[c] is the disk
// id of entry c, or -1 for an empty entry.
inline void PutRaidRecord(MemoryDisk& d, uint64_t copyStart, unsigned number, const std::vector<int>& ids)
{
    std::array<uint8_t, 2048> rec{};
    rec[0] = 0x60;
    rec[1] = 0x01;
    for (size_t c = 0; c < ids.size() && c < 16; ++c) {
        if (ids[c] < 0)
            continue;
        uint8_t* e = rec.data() + 40 + 24 * c;
        e[0] = 0x01; // an entry whose disk id is 0 is still not empty
        e[3] = static_cast<uint8_t>(ids[c]);
    }
    d.Put(copyStart + (number - 1) * 2048ULL, rec.data(), rec.size());
}

struct Pos {
    uint8_t column = 0;
    uint32_t segment = 0;
};

using DiskRecord = std::array<uint8_t, 32>;

inline DiskRecord MakeRecord(uint8_t type, uint8_t row, const std::array<Pos, 8>& pos)
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

inline void PutBigEndian64(uint8_t* at, uint64_t v)
{
    for (int i = 7; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

// A LUN header's bytes: capacity at 0x2008, map records at 0x20 / 0x40 / 0x60.
struct Header {
    uint64_t capacitySectors = 0;
    DiskRecord at20{};
    DiskRecord at40{};
    DiskRecord at60{};
    bool hasAt20 = false, hasAt60 = false;
};

inline void PutHeader(MemoryDisk& d, uint32_t segment, const Header& h)
{
    const uint64_t base = static_cast<uint64_t>(segment) * kSegmentSize;
    uint8_t cap[8];
    PutBigEndian64(cap, h.capacitySectors);
    d.Put(base + 0x2008, cap, 8);
    if (h.hasAt20)
        d.Put(base + 0x20, h.at20.data(), 32);
    d.Put(base + 0x40, h.at40.data(), 32);
    if (h.hasAt60)
        d.Put(base + 0x60, h.at60.data(), 32);
    // Something at the segment's end too, so a read cut short differs.
    d.PutByte(base + kSegmentSize - 1, 0xA5);
}

// Where record l of an assembled second index lies among the four pieces.
inline std::pair<unsigned, uint64_t> IndexRecordPlace(uint64_t l)
{
    const uint64_t x = l * 32;
    return {static_cast<unsigned>((x / kChunkSize) % 4), (x / (4 * kChunkSize)) * kChunkSize + x % kChunkSize};
}

// Writes records into pieces placed at pieceAt[m] = (disk, segment): record
// l of the assembled index goes where the interleave puts it.
inline void PutSecondIndex(const std::array<std::pair<MemoryDisk*, uint32_t>, 4>& pieceAt,
                           const std::vector<DiskRecord>& records)
{
    for (size_t l = 0; l < records.size(); ++l) {
        const auto [m, off] = IndexRecordPlace(l);
        auto [disk, seg] = pieceAt[m];
        if (disk)
            disk->Put(static_cast<uint64_t>(seg) * kSegmentSize + off, records[l].data(), 32);
    }
}

// A type-20 stripe record whose five positions are distinct and whose
// segments encode l, so a record out of place is noticed.
inline DiskRecord StripeRecord(uint8_t row, uint32_t l)
{
    std::array<Pos, 8> pos{};
    for (unsigned p = 0; p < 5; ++p)
        pos[p] = {static_cast<uint8_t>(p), (l * 5 + p) & 0xFFFFF};
    return MakeRecord(20, row, pos);
}

// A small group in memory: n members with disk ids 10, 11, ...; member 0
// carries the tag and the tables, the others are tagged only when asked.
// Row 1 puts member c at column c. Column 14 is never filled, so a position
// naming it is unavailable: PutLun uses it for unused alternatives.
class MiniGroup {
public:
    static constexpr uint64_t kDiskSize = 256ULL << 20;
    static constexpr uint8_t kUnused = 14;

    explicit MiniGroup(int n = 5, bool allTagged = false)
    {
        for (int i = 0; i < n; ++i) {
            disks.push_back(std::make_unique<MemoryDisk>(kDiskSize));
            PutIdentity(*disks.back(), static_cast<uint8_t>(10 + i), i == 0 || allTagged);
        }
    }

    // Row `number` in both copies of member 0's table; ids[c] = disk id or -1.
    void Row(unsigned number, const std::vector<int>& ids, bool second = true)
    {
        PutRaidRecord(*disks[0], kRaidPrimaryAt, number, ids);
        if (second)
            PutRaidRecord(*disks[0], kRaidSecondAt, number, ids);
    }
    // Row 1 over every member, in order.
    void DefaultRow()
    {
        std::vector<int> ids;
        for (size_t i = 0; i < disks.size(); ++i)
            ids.push_back(static_cast<int>(10 + i));
        Row(1, ids);
    }

    void IndexRecord(uint32_t block, uint32_t j, const DiskRecord& r, size_t member = 0)
    {
        disks[member]->Put(kIndexAt + block * kSegmentSize + j * 32ULL, r.data(), r.size());
    }

    // A LUN on row 1: header on column 1, its pieces on column 2, `stripes`
    // stripe records. The first map record has mapType; a second one is
    // written when the capacity is above 1024 GiB. With copies > 1 (up to 4
    // for type 8, 2 for type 16) the header and every piece are written
    // that many times, copy c of the header on HeaderCopyDisk(c) and of a
    // piece on PieceCopyDisk(c), each at the same segment as the first;
    // further alternatives name nothing. Returns the type-8 index record
    // naming the header copies at positions 0 on.
    DiskRecord PutLun(uint64_t capacitySectors, uint32_t stripes, uint8_t mapType = 8, unsigned copies = 1)
    {
        const uint32_t seg = m_next;
        m_next += 8;
        std::array<Pos, 8> p1, p2;
        p1.fill({kUnused, 0});
        p2.fill({kUnused, 0});
        const unsigned perGroup = mapType == 16 ? 2 : 4;
        for (unsigned c = 0; c < copies && c < perGroup; ++c) {
            const uint8_t col = static_cast<uint8_t>(PieceCopyDisk(c));
            if (mapType == 16) {
                for (unsigned g = 0; g < 4; ++g)
                    p1[2 * g + c] = {col, seg + 1 + g};
            } else {
                p1[c] = {col, seg + 1};
                p1[4 + c] = {col, seg + 2};
                p2[c] = {col, seg + 3};
                p2[4 + c] = {col, seg + 4};
            }
        }
        std::vector<DiskRecord> records;
        for (uint32_t l = 0; l < stripes; ++l)
            records.push_back(StripeRecord(1, l));
        for (unsigned c = 0; c < copies && c < perGroup; ++c) {
            std::array<std::pair<MemoryDisk*, uint32_t>, 4> pieceAt{};
            for (unsigned m = 0; m < 4; ++m)
                pieceAt[m] = {disks[PieceCopyDisk(c)].get(), seg + 1 + m};
            PutSecondIndex(pieceAt, records);
        }
        Header h;
        h.capacitySectors = capacitySectors;
        h.at40 = MakeRecord(mapType, 1, p1);
        h.at60 = MakeRecord(mapType, 1, p2);
        h.hasAt60 = (capacitySectors >> 21) > 1024;
        std::array<Pos, 8> ip;
        ip.fill({kUnused, 0});
        for (unsigned c = 0; c < copies && c < 4; ++c) {
            PutHeader(*disks[HeaderCopyDisk(c)], seg, h);
            ip[c] = {static_cast<uint8_t>(HeaderCopyDisk(c)), seg};
        }
        lastHeaderSegment = seg;
        lastPieceSegment = seg + 1;
        return MakeRecord(8, 1, ip);
    }
    // Members (and columns of row 1) of header copy c and piece copy c.
    static size_t HeaderCopyDisk(unsigned c) { return 1 + c % 4; }
    static size_t PieceCopyDisk(unsigned c) { return 1 + (1 + c) % 4; }

    // Moves the members into ctx (identified, as after opening); raw[i]
    // stays usable for faults and counters.
    void Install(EvaContext& ctx)
    {
        for (size_t i = 0; i < disks.size(); ++i)
            raw.push_back(AddMember(ctx, std::move(disks[i]), std::string("mem").append(std::to_string(i))));
        disks.clear();
    }

    std::vector<std::unique_ptr<MemoryDisk>> disks;
    std::vector<MemoryDisk*> raw;
    uint32_t lastHeaderSegment = 0;
    uint32_t lastPieceSegment = 0;

private:
    uint32_t m_next = 40;
};

} // namespace corvane::test
