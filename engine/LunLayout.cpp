// LUN layout: the LUN index on the first tagged member that has one, a
// header per index record, and each LUN's second index assembled from its
// four interleaved pieces into the stripe records the export follows.
#include "disk/Text.h"
#include "engine/Address.h"
#include "engine/Context.h"
#include "engine/Errors.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace corvane {

namespace {

constexpr uint64_t kIndexStart = 0x600000; // 6 MiB
constexpr size_t kRecordSize = 32;
constexpr size_t kKeptBytes = 30;
constexpr size_t kRecordsPerBlock = kSegmentSize / kRecordSize;  // 65536
constexpr size_t kCapacityOffset = 0x2008;
constexpr size_t kMapFirst = 0x40;
constexpr size_t kMapSecond = 0x60;
constexpr uint8_t kType8 = 8;
constexpr uint8_t kType16 = 16;
constexpr uint8_t kType20 = 20;

LayoutRecord RecordAt(const uint8_t* bytes)
{
    LayoutRecord r;
    std::memcpy(r.raw.data(), bytes, kKeptBytes);
    return r;
}

bool IndexType(uint8_t type)
{
    return type == kType8 || type == kType16;
}

uint64_t BigEndian64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

std::string Place(uint32_t group, uint32_t id)
{
    return "LUN index record " + std::to_string(id) + " of block " + std::to_string(group);
}

} // namespace

void EvaContext::BuildLunLayout()
{
    ScanLunIndex();
    ReadLunHeaders();
    ReadSecondIndex();
}

namespace {

constexpr uint64_t kRaidPrimary = 0x1841800;
// Blocks kept from one member at most (960 MiB of records). Group and id are
// 32-bit, so an index longer than 255 blocks is still kept whole.
constexpr uint32_t kMaxIndexBlocks = 512;

// Whether the block at offset would have continued the index: its first
// record is of type 8 or 16. Read aside, without moving the member.
bool IndexGoesOn(MemberDisk& m, uint64_t offset)
{
    uint8_t first[kRecordSize] = {};
    uint64_t got = 0;
    return m.io && m.io->ReadAt(offset, first, sizeof first, &got) && got == sizeof first && IndexType(first[0]);
}

// The member's primary RAID copy begins with a signed record (or cannot be
// told apart from one: an unreadable place counts as taken).
bool HoldsRaidCopy(MemberDisk& m)
{
    uint8_t sig[2] = {};
    uint64_t got = 0;
    if (!m.io || !m.io->ReadAt(kRaidPrimary, sig, sizeof sig, &got))
        return true;
    return got == sizeof sig && sig[0] == 0x60 && sig[1] == 0x01;
}

} // namespace

void EvaContext::ScanLunIndex()
{
    // Every block either arrives whole and is read from, or is dropped: the
    // buffer never needs clearing between reads.
    std::unique_ptr<uint8_t[]> block;
    auto scan = [&](MemberDisk& member) {
        const std::string name = JFileHandle::NarrowToUtf8(member.source);
        member.Seek(kIndexStart);
        if (!block)
            block = std::make_unique_for_overwrite<uint8_t[]>(kSegmentSize);
        uint64_t offset = kIndexStart;
        for (uint32_t k = 0;; ++k, offset += kSegmentSize) {
            if (k == kMaxIndexBlocks) {
                if (IndexGoesOn(member, offset))
                    notes.push_back(name + ": the LUN index goes on past " + std::to_string(kMaxIndexBlocks) +
                                    " blocks; the scan stops at " + Hex(offset) + " and keeps " +
                                    std::to_string(kMaxIndexBlocks));
                break;
            }
            // The index never runs into the RAID information that follows
            // it: a block that would overlap the primary copy is that copy.
            if (offset < kRaidPrimary && offset + kSegmentSize > kRaidPrimary && HoldsRaidCopy(member)) {
                if (IndexGoesOn(member, offset))
                    notes.push_back(name + ": the LUN index stops at " + Hex(offset) +
                                    ", before the block that would overlap the primary RAID information copy at " +
                                    Hex(kRaidPrimary));
                break;
            }
            const JFileHandle::ReadOutcome got = member.ReadRanges(block.get(), static_cast<uint32_t>(kSegmentSize));
            member.position = offset + kSegmentSize;
            if (got.endOfSource < offset + kSegmentSize) {
                // The member ends inside (or at) this block: a partial block
                // is no block, and the index ends before it.
                if (got.endOfSource > offset || !blockList.empty())
                    notes.push_back(name + ": the LUN index runs into the end of the member at " + Hex(offset) +
                                    "; it ends there");
                break;
            }
            // Only the bytes the scan uses must read: the kept 30 bytes of
            // each record of the run and the type of the record (or block)
            // that ends it. A bad sector anywhere else is no loss.
            const JFileHandle::ExtentSet& bad = got.unreadable;
            auto need = [&](size_t at, size_t length, const char* what) {
                if (bad.Empty() || !bad.Intersects(offset + at, length))
                    return;
                Raise(kReadFailed, name + ": " + what + " " + std::to_string(at / kRecordSize) +
                                       " of the LUN index block at " + Hex(offset) + " cannot be read: " +
                                       DescribeRanges(Touching(bad, offset + at, length)) + " do not read (" +
                                       std::strerror(got.lastError.err) + ")");
            };
            need(0, 1, "the type of record");
            if (!IndexType(block[0]))
                break;
            size_t count = 1;
            while (count < kRecordsPerBlock) {
                need(count * kRecordSize, 1, "the type of record");
                if (!IndexType(block[count * kRecordSize]))
                    break;
                ++count;
            }
            for (size_t j = 0; j < count; ++j)
                need(j * kRecordSize, kKeptBytes, "record");
            std::vector<LayoutRecord> records;
            records.reserve(count);
            for (size_t j = 0; j < count; ++j)
                records.push_back(RecordAt(block.get() + j * kRecordSize));
            blockList.push_back(std::move(records));
        }
    };
    // As for the RAID information: a member whose index fails to read
    // gives way to the next one that has an index, and sources that could
    // not be identified come last.
    std::optional<EvaError> readFailure;
    auto tryMember = [&](MemberDisk& member) {
        const size_t start = blockList.size();
        try {
            scan(member);
        } catch (const EvaError& e) {
            if (e.code() != kReadFailed)
                throw;
            notes.push_back(JFileHandle::NarrowToUtf8(member.source) + ": its LUN index cannot be read (" +
                            e.reason() + "); the next member that has one is tried");
            blockList.resize(start);
            if (!readFailure)
                readFailure = e;
        }
        return blockList.size() > start;
    };
    for (auto& member : members)
        if (member->HasMemberTag() && tryMember(*member))
            return;
    for (auto& member : members)
        if (!member->identified && tryMember(*member))
            return;
    if (readFailure)
        Raise(kReadFailed, readFailure->reason() + "; no other member holds a readable LUN index");
    Raise(kNoRaidInfo, "no tagged member holds a LUN index at " + Hex(kIndexStart));
}

namespace {

// What of a segment no copy gave, among the bytes a caller needs, and from
// which copies it was sought: for the message of the code that follows.
std::string Lacking(const AlternativeRead& got, const JFileHandle::ExtentSet& needed)
{
    JFileHandle::ExtentSet lacking;
    for (const JFileHandle::Extent& e : needed)
        lacking.Add(got.missing.Within(e.offset, e.length));
    std::string text;
    if (!lacking.Empty())
        text = ": bytes " + DescribeRanges(lacking) + " of it read in no copy";
    if (!got.copies.empty())
        text += " (" + got.copies + ")";
    return text;
}

void HeaderType8(EvaContext& ctx, const LayoutRecord& record, uint32_t group, uint32_t id, uint8_t* header)
{
    // A header gives its capacity and its first map record; the second map
    // record is needed only above 1024 GiB.
    static const JFileHandle::ExtentSet kNeeded{{kMapFirst, kKeptBytes}, {kCapacityOffset, 8}};
    static const JFileHandle::ExtentSet kSecondRecord{{kMapSecond, kKeptBytes}};
    const std::string what = "the header of " + Place(group, id);
    // Only the first group of alternatives locates the header.
    const AlternativeRead got = ReadAlternative(ctx, record, 0, 4, header, false, kNeeded, what);
    if (!got)
        Raise(kSeriousDamage,
              what + " cannot be read (or holds only zeros) at any of its positions 0-3" + Lacking(got, kNeeded));

    auto lun = std::make_unique<LunEntry>();
    lun->group = group;
    lun->id = id;
    lun->capacitySectors = BigEndian64(header + kCapacityOffset);
    // sectors x 512 / 2^30 without the product overflowing.
    lun->sizeGiB = lun->capacitySectors >> 21;
    lun->mapRecords.push_back(RecordAt(header + kMapFirst));
    if (lun->sizeGiB > 1024) {
        if (got.missing.Intersects(kMapSecond, kKeptBytes))
            Raise(kSeriousDamage, what + " declares " + std::to_string(lun->sizeGiB) +
                                      " GiB, but its second map record cannot be read at any of its positions 0-3" +
                                      Lacking(got, kSecondRecord));
        lun->mapRecords.push_back(RecordAt(header + kMapSecond));
    }
    ctx.lunList.push_back(std::move(lun));
}

void HeaderType16(EvaContext& ctx, const LayoutRecord& record, uint32_t group, uint32_t id, uint8_t* header)
{
    // Each group of two alternatives locates one header. They are read so
    // that an unreadable one is noticed, but give no LUN: neither their
    // capacity nor their map record (at 0x20) is used, so no byte of them
    // is needed and a copy of zeros, or one that reads in part, loses
    // nothing.
    static const JFileHandle::ExtentSet kNothing;
    for (unsigned first = 0; first < 8; first += 2) {
        const std::string what = "the header of " + Place(group, id) + " (positions " + std::to_string(first) +
                                 "-" + std::to_string(first + 1) + ")";
        const AlternativeRead got = ReadAlternative(ctx, record, first, 2, header, true, kNothing, what);
        if (!got)
            Raise(kSeriousDamage, "the header of " + Place(group, id) + " cannot be read at positions " +
                                      std::to_string(first) + "-" + std::to_string(first + 1) +
                                      Lacking(got, kNothing));
    }
}

} // namespace

void EvaContext::ReadLunHeaders()
{
    // One header buffer for the whole walk, never zero-filled: a header is
    // used only where ReadAlternative filled the bytes it gives. Group and id are
    // the places of block and record, kept whole however many there are.
    const auto header = std::make_unique_for_overwrite<uint8_t[]>(kSegmentSize);
    for (size_t i = 0; i < blockList.size(); ++i) {
        const auto& block = blockList[i];
        for (size_t j = 0; j < block.size(); ++j) {
            const uint32_t group = static_cast<uint32_t>(i);
            const uint32_t id = static_cast<uint32_t>(j);
            if (block[j].type() == kType8)
                HeaderType8(*this, block[j], group, id, header.get());
            else if (block[j].type() == kType16)
                HeaderType16(*this, block[j], group, id, header.get());
        }
    }
}

void EvaContext::ReadHeaderType8(const LayoutRecord& record, uint32_t group, uint32_t id)
{
    std::vector<uint8_t> header(kSegmentSize, 0);
    HeaderType8(*this, record, group, id, header.data());
}

void EvaContext::ReadHeaderType16(const LayoutRecord& record, uint32_t group, uint32_t id)
{
    std::vector<uint8_t> header(kSegmentSize, 0);
    HeaderType16(*this, record, group, id, header.data());
}

namespace {

// The four 2 MiB pieces of a second index, shared by the LUNs of one walk.
// Only the pieces a LUN reads count for it; the others read as zero without
// being cleared, so the buffers are never filled with zeros at all.
struct IndexPieces {
    std::unique_ptr<uint8_t[]> piece[4];
    bool valid[4] = {false, false, false, false};
    // Piece offsets that read in no copy, and the copies they were sought
    // in: an error only once the run of records needs them.
    JFileHandle::ExtentSet missing[4];
    std::string copies[4];
    std::string text[4]; // the piece, for messages
    // A piece whose copy read holds only zeros. That is what a piece the
    // index never reaches holds, so its other copies are read only once the
    // run of records is found to need it: those after `next - 1` in its
    // group of `count` positions from `first`.
    struct Blank {
        bool is = false;
        const LayoutRecord* record = nullptr;
        unsigned first = 0, count = 0, next = 0;
    } blank[4];
    IndexPieces()
    {
        for (auto& p : piece)
            p = std::make_unique_for_overwrite<uint8_t[]>(kSegmentSize);
    }
};

std::string PieceText(const LunEntry& lun, unsigned first, unsigned count)
{
    return "a second-index piece of the LUN at group " + std::to_string(lun.group) + ", id " + std::to_string(lun.id) +
           " (positions " + std::to_string(first) + "-" + std::to_string(first + count - 1) + ")";
}

// No byte of a piece is needed before the run of records reaches it, so
// a copy that reads in part is taken and its holes checked as the records
// are collected.
const JFileHandle::ExtentSet kNoBytes;

void ReadPiece(EvaContext& ctx, const LunEntry& lun, const LayoutRecord& record, unsigned first, unsigned count,
               IndexPieces& b, unsigned m)
{
    b.valid[m] = false;
    b.blank[m] = {};
    b.text[m] = PieceText(lun, first, count);
    const AlternativeRead got = ReadAlternative(ctx, record, first, count, b.piece[m].get(), true, kNoBytes, b.text[m]);
    if (!got)
        Raise(kSecondIndexFailed, b.text[m] + " cannot be read at any of its positions" +
                                      (got.copies.empty() ? std::string() : " (" + got.copies + ")"));
    b.valid[m] = true;
    b.missing[m] = got.missing;
    b.copies[m] = got.copies;
    if (got.zeros)
        b.blank[m] = {true, &record, first, count, static_cast<unsigned>(got.position) + 1};
}

// Raises code 14 when bytes [at, at + length) of piece m read in no copy.
void NeedPieceBytes(const IndexPieces& b, unsigned m, uint64_t at, uint64_t length)
{
    if (b.missing[m].Empty() || !b.missing[m].Intersects(at, length))
        return;
    Raise(kSecondIndexFailed, b.text[m] + ": bytes " + DescribeRanges(Touching(b.missing[m], at, length)) +
                                  " of it, which the LUN's stripe records need, read in no copy (" + b.copies[m] +
                                  ")");
}

// The leading run of type-20 records of the index the four pieces
// interleave into (chunk 4k + m of the index is chunk k of piece m). The
// records are taken straight from the pieces in that order, chunk by chunk,
// so the 8 MiB index itself is never built.
void CollectStripes(EvaContext& ctx, IndexPieces& b, LunEntry& lun)
{
    lun.stripeRecords.clear();
    constexpr uint64_t kChunksPerPiece = kSegmentSize / kChunkSize;
    for (uint64_t q = 0; q < 4 * kChunksPerPiece; ++q) {
        const unsigned m = static_cast<unsigned>(q % 4);
        if (!b.valid[m])
            return; // a piece not read is zero: type 0 ends the run
        if (b.blank[m].is) {
            // The run reaches a piece of zeros. Where the records so far
            // cover the declared capacity, the index simply ends here;
            // otherwise the zeros are a copy never written, and another
            // copy must hold the records.
            if (lun.CoveredBytes() >= lun.DeclaredBytes())
                return;
            IndexPieces::Blank& blank = b.blank[m];
            NoteZeroCopy(ctx, *blank.record, blank.next - 1);
            const unsigned end = blank.first + blank.count;
            const AlternativeRead got = ReadAlternative(ctx, *blank.record, blank.next, end - blank.next,
                                                        b.piece[m].get(), false, kNoBytes, b.text[m]);
            if (!got)
                Raise(kSecondIndexFailed,
                      PieceText(lun, blank.first, blank.count) +
                          " holds only zeros in every copy that reads, though the LUN's capacity needs its records" +
                          (got.copies.empty() ? std::string() : " (" + got.copies + ")"));
            b.missing[m] = got.missing;
            b.copies[m] = got.copies;
            blank.is = false;
        }
        const uint64_t base = (q / 4) * kChunkSize;
        const uint8_t* chunk = b.piece[m].get() + base;
        for (uint64_t at = 0; at < kChunkSize; at += kRecordSize) {
            NeedPieceBytes(b, m, base + at, 1);
            if (chunk[at] != kType20)
                return;
            NeedPieceBytes(b, m, base + at, kKeptBytes);
            lun.stripeRecords.push_back(RecordAt(chunk + at));
        }
    }
}

void SecondIndexType8(EvaContext& ctx, LunEntry& lun, IndexPieces& b)
{
    // One map record gives pieces 0 and 1, a second one pieces 2 and 3;
    // pieces not read stay zero.
    for (bool& v : b.valid)
        v = false;
    unsigned m = 0;
    for (size_t r = 0; r < lun.mapRecords.size() && r < 2; ++r)
        for (unsigned first = 0; first < 8; first += 4)
            ReadPiece(ctx, lun, lun.mapRecords[r], first, 4, b, m++);
    CollectStripes(ctx, b, lun);
}

void SecondIndexType16(EvaContext& ctx, LunEntry& lun, IndexPieces& b)
{
    // The first map record alone locates all four pieces.
    unsigned m = 0;
    for (unsigned first = 0; first < 8; first += 2)
        ReadPiece(ctx, lun, lun.mapRecords.front(), first, 2, b, m++);
    CollectStripes(ctx, b, lun);
}

} // namespace

void EvaContext::ReadSecondIndex()
{
    if (lunList.empty())
        Raise(kNoRaidInfo2, "the LUN index names no LUN");
    IndexPieces pieces;
    for (auto& lun : lunList) {
        if (lun->mapRecords.empty())
            continue;
        const uint8_t type = lun->mapRecords.front().type();
        if (type == kType8)
            SecondIndexType8(*this, *lun, pieces);
        else if (type == kType16)
            SecondIndexType16(*this, *lun, pieces);
    }
}

void EvaContext::ReadSecondIndexType8(size_t k)
{
    IndexPieces pieces;
    SecondIndexType8(*this, *lunList.at(k), pieces);
}

void EvaContext::ReadSecondIndexType16(size_t k)
{
    IndexPieces pieces;
    SecondIndexType16(*this, *lunList.at(k), pieces);
}

} // namespace corvane
