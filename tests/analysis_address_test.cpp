// Address rules at the values that catch faults: nibbles, 20-bit segment
// numbers, the largest offset, the interleave and reading from alternatives.
#include "analysis_fakes.h"

#include "engine/Address.h"
#include "engine/Errors.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace corvane;
using namespace corvane::test;

namespace {

LayoutRecord Kept(const DiskRecord& d)
{
    LayoutRecord r;
    std::copy_n(d.begin(), 30, r.raw.begin());
    return r;
}

// A record whose position p has the given slot byte and segment bytes.
LayoutRecord WithPosition(unsigned p, uint8_t slot, uint8_t hi, uint8_t lo)
{
    LayoutRecord r;
    r.raw[5 + p] = slot;
    r.raw[14 + 2 * p] = hi;
    r.raw[15 + 2 * p] = lo;
    return r;
}

} // namespace

struct PositionRow {
    const char* name;
    unsigned p;
    uint8_t slot, hi, lo;
    uint8_t column;
    uint32_t segment;
    uint64_t offset;
};
// Named rows keep test names readable.
inline void PrintTo(const PositionRow& r, std::ostream* os) { *os << r.name; }

class Positions : public ::testing::TestWithParam<PositionRow> {};

TEST_P(Positions, ColumnSegmentAndOffset)
{
    const PositionRow& row = GetParam();
    const LayoutRecord r = WithPosition(row.p, row.slot, row.hi, row.lo);
    EXPECT_EQ(PositionColumn(r, row.p), row.column);
    EXPECT_EQ(PositionSegment(r, row.p), row.segment);
    EXPECT_EQ(SegmentOffset(PositionSegment(r, row.p)), row.offset);
    // Neighbouring positions are untouched by this one's bytes.
    for (unsigned q = 0; q < 8; ++q)
        if (q != row.p) {
            EXPECT_EQ(PositionSegment(r, q), 0u) << q;
            EXPECT_EQ(PositionColumn(r, q), 0u) << q;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Positions,
    ::testing::Values(PositionRow{"WorkedExample", 0, 0x3A, 0x01, 0x02, 10, 0x30102, 0x30102ULL * 0x200000},
                      PositionRow{"Largest", 3, 0xF0, 0xFF, 0xFF, 0, 0xFFFFF, 0x1FFFFE00000ULL},
                      PositionRow{"Zero", 1, 0x05, 0x00, 0x00, 5, 0, 0},
                      PositionRow{"LastPosition", 7, 0x1E, 0x80, 0x01, 14, 0x18001, 0x18001ULL * 0x200000},
                      PositionRow{"ColumnFifteen", 2, 0x0F, 0x00, 0x07, 15, 7, 7 * 0x200000ULL}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StripeGeometry, ByteToPositionAndOffset)
{
    struct Row {
        uint64_t r;
        unsigned position;
        uint64_t offset;
    };
    const Row rows[] = {
        {0x123456, 1, 0x43456},   // chunk 9
        {0, 0, 0},
        {0x1FFFF, 0, 0x1FFFF},    // last byte of the first chunk
        {0x20000, 1, 0},          // first byte of the next
        {0x7FFFF, 3, 0x1FFFF},
        {0x80000, 0, 0x20000},    // the second round of four chunks
        {0x7FFFFF, 3, 0x1FFFFF},  // last byte of the stripe
    };
    for (const Row& row : rows) {
        const StripeByte b = LocateStripeByte(row.r);
        EXPECT_EQ(b.position, row.position) << std::hex << row.r;
        EXPECT_EQ(b.offsetInSegment, row.offset) << std::hex << row.r;
    }
}

TEST(StripeGeometry, InterleaveAgreesWithTheByteRule)
{
    std::vector<std::vector<uint8_t>> pieces(4, std::vector<uint8_t>(kSegmentSize));
    for (unsigned m = 0; m < 4; ++m)
        for (size_t i = 0; i < kSegmentSize; ++i)
            pieces[m][i] = static_cast<uint8_t>((i * 7 + m * 61 + (i >> 17)) & 0xFF);
    const uint8_t* const in[4] = {pieces[0].data(), pieces[1].data(), pieces[2].data(), pieces[3].data()};
    std::vector<uint8_t> out(kRunSize);
    InterleaveChunks(in, out.data());
    for (uint64_t x : {0ULL, 0x1FFFFULL, 0x20000ULL, 0x123456ULL, 0x7FFFFULL, 0x80000ULL, 0x7FFFFFULL}) {
        const StripeByte b = LocateStripeByte(x);
        EXPECT_EQ(out[x], pieces[b.position][b.offsetInSegment]) << std::hex << x;
    }
    EXPECT_TRUE(std::equal(out.begin() + 0x20000, out.begin() + 0x40000, pieces[1].begin()));
    EXPECT_TRUE(std::equal(out.end() - 0x20000, out.end(), pieces[3].end() - 0x20000));
}

TEST(StripeGeometry, ZeroPiecesLeaveTheirChunksZero)
{
    std::vector<uint8_t> a(kSegmentSize, 0xAA), b(kSegmentSize, 0xBB), zero(kSegmentSize, 0);
    const uint8_t* const in[4] = {a.data(), b.data(), zero.data(), zero.data()};
    std::vector<uint8_t> out(kRunSize, 0x11);
    InterleaveChunks(in, out.data());
    for (uint64_t k = 0; k < 16; ++k) {
        const auto at = out.begin() + static_cast<long>(k * 0x80000);
        EXPECT_TRUE(std::all_of(at, at + 0x20000, [](uint8_t v) { return v == 0xAA; })) << k;
        EXPECT_TRUE(std::all_of(at + 0x20000, at + 0x40000, [](uint8_t v) { return v == 0xBB; })) << k;
        EXPECT_TRUE(std::all_of(at + 0x40000, at + 0x80000, [](uint8_t v) { return v == 0; })) << k;
    }
}

// --- availability and alternatives ---------------------------------------------

class Alternatives : public ::testing::Test {
protected:
    EvaContext ctx;
    std::vector<MemoryDisk*> disk;

    void SetUp() override
    {
        // Members at (1,0), (1,1), (1,2); slot (1,3) is missing but the map
        // names member 0 there too, so the missing list must win.
        for (int i = 0; i < 3; ++i) {
            auto d = std::make_unique<MemoryDisk>(64ULL << 20);
            std::vector<uint8_t> seg(kSegmentSize, static_cast<uint8_t>(0xC0 + i));
            d->Put(5 * kSegmentSize, seg.data(), seg.size());
            disk.push_back(AddMember(ctx, std::move(d), std::string("m").append(std::to_string(i))));
            ctx.memberMap[1][i] = ctx.members.back().get();
        }
        ctx.memberMap[1][3] = ctx.members[0].get();
        ctx.missingSlots.push_back({1, 3});
    }

    // Record on row 1 whose positions name (column, segment 5).
    LayoutRecord Record(std::initializer_list<uint8_t> columns, uint8_t row = 1)
    {
        std::array<Pos, 8> pos;
        pos.fill({14, 5});
        unsigned p = 0;
        for (uint8_t c : columns)
            pos[p++] = {c, 5};
        return Kept(MakeRecord(8, row, pos));
    }

    std::vector<uint8_t> buf = std::vector<uint8_t>(kSegmentSize, 0x77);
};

TEST_F(Alternatives, SlotsOutsideTheMapAreNeverAvailable)
{
    EXPECT_FALSE(IsAvailable(ctx, Record({15}), 0)) << "column nibble 15";
    EXPECT_FALSE(IsAvailable(ctx, Record({0}, 64), 0)) << "row 64";
    EXPECT_FALSE(IsAvailable(ctx, Record({0}, 255), 0));
    EXPECT_FALSE(IsAvailable(ctx, Record({3}), 0)) << "missing slot";
    EXPECT_FALSE(IsAvailable(ctx, Record({4}), 0)) << "empty cell";
    EXPECT_TRUE(IsAvailable(ctx, Record({2}), 0));
    EXPECT_EQ(MemberAt(ctx, 64, 0), nullptr);
    EXPECT_EQ(MemberAt(ctx, 1, 15), nullptr);
}

TEST_F(Alternatives, MissingSlotIsSkippedWithoutTouchingItsMember)
{
    const uint64_t seeks = disk[0]->seeks;
    ASSERT_TRUE(ReadFirstAlternative(ctx, Record({3, 1}), 0, 4, buf.data()));
    EXPECT_EQ(buf.front(), 0xC1);
    EXPECT_EQ(disk[0]->seeks, seeks);
}

TEST_F(Alternatives, FailedReadMovesOnToTheNextPosition)
{
    disk[0]->FailReads(5 * kSegmentSize + 100, 1);
    ASSERT_TRUE(ReadFirstAlternative(ctx, Record({0, 2}), 0, 4, buf.data()));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == 0xC2; }));
}

TEST_F(Alternatives, ShortReadNeitherCountsNorLeavesItsBytes)
{
    disk[0]->Resize(5 * kSegmentSize + 4096); // the segment is cut after 4 KiB
    disk[1]->Resize(5 * kSegmentSize + 8192);
    EXPECT_FALSE(ReadFirstAlternative(ctx, Record({0, 1}), 0, 2, buf.data()));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == 0; }));
    ASSERT_TRUE(ReadFirstAlternative(ctx, Record({0, 1, 2}), 0, 3, buf.data()));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == 0xC2; }));
}

TEST_F(Alternatives, FailedSeekRaisesCodeElevenWithoutTryingTheNext)
{
    disk[0]->FailSeeksTo(5 * kSegmentSize);
    const uint64_t reads = disk[1]->reads;
    try {
        ReadFirstAlternative(ctx, Record({0, 1}), 0, 2, buf.data());
        ADD_FAILURE() << "no error";
    } catch (const EvaError& e) {
        EXPECT_EQ(e.code(), kSeekFailed);
    }
    EXPECT_EQ(disk[1]->reads, reads);
}

TEST_F(Alternatives, NoAvailablePositionReadsNothing)
{
    uint64_t before = 0;
    for (auto* d : disk)
        before += d->seeks + d->reads;
    EXPECT_FALSE(ReadFirstAlternative(ctx, Record({3, 14, 15, 4}), 0, 4, buf.data()));
    uint64_t after = 0;
    for (auto* d : disk)
        after += d->seeks + d->reads;
    EXPECT_EQ(after, before);
}

TEST_F(Alternatives, GroupsStayWithinTheirPositions)
{
    // Type-16 style groups of two: the group at 2-3 must not fall through
    // to position 4 even when that one could be read.
    EXPECT_FALSE(ReadFirstAlternative(ctx, Record({0, 1, 14, 14, 2}), 2, 2, buf.data()));
    ASSERT_TRUE(ReadFirstAlternative(ctx, Record({0, 1, 14, 14, 2}), 4, 4, buf.data()));
    EXPECT_EQ(buf[0], 0xC2);
}

TEST_F(Alternatives, SegmentOfZerosGivesWayToTheNext)
{
    const std::vector<uint8_t> zeros(kSegmentSize, 0);
    disk[0]->Put(5 * kSegmentSize, zeros.data(), zeros.size());
    ASSERT_TRUE(ReadFirstAlternative(ctx, Record({0, 1}), 0, 2, buf.data()));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t v) { return v == 0xC1; }));
    ASSERT_EQ(ctx.notes.size(), 1u);
    EXPECT_EQ(ctx.notes[0], "m0: the segment at 0xa00000 (row 1, column 0) holds only zeros; it is taken as "
                            "unreadable and the next alternative is tried");
    EXPECT_FALSE(ReadFirstAlternative(ctx, Record({0}), 0, 1, buf.data())) << "zeros alone are no copy";
    const AlternativeRead taken = ReadAlternative(ctx, Record({0, 1}), 0, 2, buf.data(), true);
    EXPECT_EQ(taken.position, 0);
    EXPECT_TRUE(taken.zeros);
}
