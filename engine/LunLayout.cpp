// LUN layout: the LUN index on the first tagged member that has one, a
// header per index record, and each LUN's second index assembled from its
// four interleaved pieces into the stripe records the export follows.
#include "disk/Text.h"
#include "engine/Address.h"
#include "engine/Context.h"
#include "engine/Errors.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace corvane {

namespace {

constexpr uint64_t kIndexStart = 0x600000; // 6 MiB
constexpr size_t kRecordSize = 32;
constexpr size_t kKeptBytes = 30;
constexpr size_t kRecordsPerBlock = kSegmentSize / kRecordSize;  // 65536
constexpr size_t kRecordsPerIndex = kRunSize / kRecordSize;      // 262144
constexpr size_t kCapacityOffset = 0x2008;
constexpr size_t kMapType16 = 0x20;
constexpr size_t kMapFirst = 0x40;
constexpr size_t kMapSecond = 0x60;
constexpr uint8_t kType8 = 8;
constexpr uint8_t kType16 = 16;
constexpr uint8_t kType20 = 20;

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

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

void EvaContext::ScanLunIndex()
{
    for (auto& member : members) {
        if (!member->HasMemberTag())
            continue;
        member->Seek(kIndexStart);
        std::vector<uint8_t> block(kSegmentSize, 0);
        uint64_t offset = kIndexStart;
        for (;;) {
            std::memset(block.data(), 0, block.size());
            uint64_t got = 0;
            member->Read(block.data(), static_cast<uint32_t>(kSegmentSize), &got, true);
            if (got < kSegmentSize) {
                // The member ends inside (or at) this block: a partial block
                // is no block, and the index ends before it.
                if (got > 0 || !blockList.empty())
                    notes.push_back(JFileHandle::NarrowToUtf8(member->source) + ": the LUN index runs into the end of the member at " +
                                    Hex(offset) + "; it ends there");
                break;
            }
            if (!IndexType(block[0]))
                break;
            std::vector<LayoutRecord> records;
            for (size_t j = 0; j < kRecordsPerBlock; ++j) {
                const uint8_t* p = block.data() + j * kRecordSize;
                if (!IndexType(p[0]))
                    break;
                records.push_back(RecordAt(p));
            }
            blockList.push_back(std::move(records));
            offset += kSegmentSize;
        }
        if (!blockList.empty())
            return;
    }
    Raise(kNoRaidInfo, "no tagged member holds a LUN index at " + Hex(kIndexStart));
}

void EvaContext::ReadLunHeaders()
{
    // Group and id are the places of block and record, kept whole however
    // many there are.
    for (size_t i = 0; i < blockList.size(); ++i) {
        const auto& block = blockList[i];
        for (size_t j = 0; j < block.size(); ++j) {
            const uint32_t group = static_cast<uint32_t>(i);
            const uint32_t id = static_cast<uint32_t>(j);
            if (block[j].type() == kType8)
                ReadHeaderType8(block[j], group, id);
            else if (block[j].type() == kType16)
                ReadHeaderType16(block[j], group, id);
        }
    }
}

void EvaContext::ReadHeaderType8(const LayoutRecord& record, uint32_t group, uint32_t id)
{
    std::vector<uint8_t> header(kSegmentSize, 0);
    // Only the first group of alternatives locates the header.
    if (!ReadFirstAlternative(*this, record, 0, 4, header.data()))
        Raise(kSeriousDamage, "the header of " + Place(group, id) + " cannot be read at any of its positions 0-3");

    auto lun = std::make_unique<LunEntry>();
    lun->group = group;
    lun->id = id;
    lun->capacitySectors = BigEndian64(header.data() + kCapacityOffset);
    // sectors x 512 / 2^30 without the product overflowing.
    lun->sizeGiB = lun->capacitySectors >> 21;
    lun->mapRecords.push_back(RecordAt(header.data() + kMapFirst));
    if (lun->sizeGiB > 1024)
        lun->mapRecords.push_back(RecordAt(header.data() + kMapSecond));
    lunList.push_back(std::move(lun));
}

void EvaContext::ReadHeaderType16(const LayoutRecord& record, uint32_t group, uint32_t id)
{
    // Each group of two alternatives locates one header. They are read so
    // that an unreadable one is noticed, but give no LUN.
    std::vector<uint8_t> header(kSegmentSize, 0);
    for (unsigned first = 0; first < 8; first += 2) {
        if (!ReadFirstAlternative(*this, record, first, 2, header.data()))
            Raise(kSeriousDamage, "the header of " + Place(group, id) + " cannot be read at positions " +
                                      std::to_string(first) + "-" + std::to_string(first + 1));
    }
}

void EvaContext::ReadSecondIndex()
{
    if (lunList.empty())
        Raise(kNoRaidInfo2, "the LUN index names no LUN");
    for (size_t k = 0; k < lunList.size(); ++k) {
        const LunEntry& lun = *lunList[k];
        if (lun.mapRecords.empty())
            continue;
        const uint8_t type = lun.mapRecords.front().type();
        if (type == kType8)
            ReadSecondIndexType8(k);
        else if (type == kType16)
            ReadSecondIndexType16(k);
    }
}

namespace {

// The four pieces of a second index and the 8 MiB they interleave into.
struct IndexBuffers {
    std::vector<uint8_t> pieces[4];
    std::vector<uint8_t> assembled;
    IndexBuffers() : assembled(kRunSize, 0)
    {
        for (auto& p : pieces)
            p.assign(kSegmentSize, 0);
    }
};

void ReadPiece(EvaContext& ctx, const LunEntry& lun, const LayoutRecord& record, unsigned first, unsigned count,
               uint8_t* piece)
{
    if (!ReadFirstAlternative(ctx, record, first, count, piece))
        Raise(kSecondIndexFailed, "a second-index piece of the LUN at group " + std::to_string(lun.group) + ", id " +
                                      std::to_string(lun.id) + " cannot be read at positions " +
                                      std::to_string(first) + "-" + std::to_string(first + count - 1));
}

// The leading run of type-20 records of the assembled index.
void CollectStripes(IndexBuffers& b, LunEntry& lun)
{
    const uint8_t* const pieces[4] = {b.pieces[0].data(), b.pieces[1].data(), b.pieces[2].data(),
                                      b.pieces[3].data()};
    InterleaveChunks(pieces, b.assembled.data());
    lun.stripeRecords.clear();
    for (size_t l = 0; l < kRecordsPerIndex; ++l) {
        const uint8_t* p = b.assembled.data() + l * kRecordSize;
        if (p[0] != kType20)
            break;
        lun.stripeRecords.push_back(RecordAt(p));
    }
}

} // namespace

void EvaContext::ReadSecondIndexType8(size_t k)
{
    LunEntry& lun = *lunList.at(k);
    IndexBuffers b;
    unsigned piece = 0;
    // One map record gives pieces 0 and 1, a second one pieces 2 and 3;
    // pieces not read stay zero.
    for (size_t r = 0; r < lun.mapRecords.size() && r < 2; ++r) {
        for (unsigned first = 0; first < 8; first += 4)
            ReadPiece(*this, lun, lun.mapRecords[r], first, 4, b.pieces[piece++].data());
    }
    CollectStripes(b, lun);
}

void EvaContext::ReadSecondIndexType16(size_t k)
{
    LunEntry& lun = *lunList.at(k);
    IndexBuffers b;
    // The first map record alone locates all four pieces.
    unsigned piece = 0;
    for (unsigned first = 0; first < 8; first += 2)
        ReadPiece(*this, lun, lun.mapRecords.front(), first, 2, b.pieces[piece++].data());
    CollectStripes(b, lun);
}

} // namespace corvane
