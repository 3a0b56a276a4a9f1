// LUN index, headers and second index on members held in memory.
#include "analysis_fakes.h"

#include "engine/Address.h"
#include "engine/Context.h"
#include "engine/Errors.h"
#include "engine/Report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr uint64_t kGiBSectors = 1ULL << 21;

int CodeOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EvaError& e) {
        return e.code();
    }
    return 0;
}

DiskRecord Typed(uint8_t type)
{
    std::array<Pos, 8> pos;
    pos.fill({MiniGroup::kUnused, 0});
    return MakeRecord(type, 1, pos);
}

class Layout : public ::testing::Test {
protected:
    MiniGroup g{5};
    EvaContext ctx;

    void SetUp() override { g.DefaultRow(); }
    void Install()
    {
        g.Install(ctx);
        ctx.DiscoverFromMembers();
    }
    std::vector<std::tuple<uint32_t, uint32_t, uint64_t>> List() const
    {
        std::vector<std::tuple<uint32_t, uint32_t, uint64_t>> v;
        for (const auto& l : ctx.lunList)
            v.emplace_back(l->group, l->id, l->sizeGiB);
        return v;
    }
};

} // namespace

// --- index scan ---------------------------------------------------------------

TEST_F(Layout, BlockEndsAtTheFirstRecordOfAnotherType)
{
    g.IndexRecord(0, 0, Typed(16));
    g.IndexRecord(0, 1, Typed(8));
    g.IndexRecord(0, 2, Typed(8));
    g.IndexRecord(0, 3, Typed(0));
    g.IndexRecord(0, 4, Typed(8));
    Install();
    ctx.ScanLunIndex();
    ASSERT_EQ(ctx.blockList.size(), 1u);
    ASSERT_EQ(ctx.blockList[0].size(), 3u);
    EXPECT_EQ(ctx.blockList[0][0].type(), 16);
}

TEST_F(Layout, IndexEndsAtTheFirstBlockOfAnotherTypeAndReadsNoFurther)
{
    for (uint32_t b = 0; b < 3; ++b)
        g.IndexRecord(b, 0, Typed(8));
    g.disks[0]->PutByte(kIndexAt + 3 * kSegmentSize, 0xFF);
    g.disks[0]->FailReads(kIndexAt + 4 * kSegmentSize, kSegmentSize); // the fifth block
    Install();
    ctx.ScanLunIndex();
    EXPECT_EQ(ctx.blockList.size(), 3u);
}

TEST_F(Layout, FullBlockOfIndexRecordsGoesOnToTheNextBlock)
{
    const DiskRecord r = Typed(8);
    std::vector<uint8_t> block(kSegmentSize);
    for (size_t j = 0; j < 65536; ++j)
        std::copy(r.begin(), r.end(), block.begin() + static_cast<long>(j * 32));
    g.disks[0]->Put(kIndexAt, block.data(), block.size());
    g.IndexRecord(1, 0, Typed(16));
    Install();
    ctx.ScanLunIndex();
    ASSERT_EQ(ctx.blockList.size(), 2u);
    EXPECT_EQ(ctx.blockList[0].size(), 65536u);
    EXPECT_EQ(ctx.blockList[1].size(), 1u);
}

TEST_F(Layout, IndexComesFromTheFirstTaggedMemberThatHasOne)
{
    MiniGroup h{4, true};
    h.DefaultRow();
    h.IndexRecord(0, 0, Typed(8), 2);
    h.IndexRecord(0, 0, Typed(8), 3);
    h.disks[1]->Resize(3 << 20); // ends before 6 MiB: nothing there
    h.IndexRecord(0, 0, Typed(8), 0);
    h.disks[0]->PutByte(kIndexAt, 0); // begins with type 0
    EvaContext c;
    h.Install(c);
    c.DiscoverFromMembers();
    const uint64_t before3 = h.raw[3]->reads;
    c.ScanLunIndex();
    EXPECT_EQ(c.blockList.size(), 1u);
    EXPECT_EQ(h.raw[3]->reads, before3) << "a later tagged member is not read";
    EXPECT_TRUE(c.notes.empty()) << "a member ending before the index is no damage";
}

TEST_F(Layout, UntaggedMemberIsNeverScanned)
{
    g.IndexRecord(0, 0, Typed(8), 3); // member 3 is untagged
    Install();
    const uint64_t before = g.raw[3]->reads;
    EXPECT_EQ(CodeOf([&] { ctx.ScanLunIndex(); }), kNoRaidInfo);
    EXPECT_EQ(g.raw[3]->reads, before);
}

TEST_F(Layout, BlockCutByTheEndOfTheMemberEndsTheIndex)
{
    // Member 1 (tagged) holds the index; the tables stay on member 0.
    MiniGroup h{3, true};
    h.DefaultRow();
    h.IndexRecord(0, 0, Typed(8), 1);
    h.IndexRecord(1, 0, Typed(8), 1);
    h.disks[1]->PutByte(kIndexAt + kSegmentSize + 8192, 0x99); // beyond the cut
    h.disks[1]->Resize(kIndexAt + kSegmentSize + 4096);        // block 1 is partial
    EvaContext c;
    h.Install(c);
    c.DiscoverFromMembers();
    c.ScanLunIndex();
    EXPECT_EQ(c.blockList.size(), 1u);
    ASSERT_FALSE(c.notes.empty());
    EXPECT_NE(c.notes.back().find("mem1: the LUN index runs into the end of the member at 0x800000"),
              std::string::npos);
}

TEST_F(Layout, IndexFaults)
{
    struct Row {
        const char* name;
        int code;
        std::function<void(MemoryDisk&)> apply;
    };
    const Row rows[] = {
        {"FirstBlockUnreadable", kReadFailed, [](MemoryDisk& d) { d.FailReads(kIndexAt, 1); }},
        {"SecondBlockUnreadable", kReadFailed, [](MemoryDisk& d) { d.FailReads(kIndexAt + kSegmentSize, 1); }},
        {"SeekFails", kSeekFailed, [](MemoryDisk& d) { d.FailSeeksTo(kIndexAt); }},
    };
    for (const Row& row : rows) {
        MiniGroup h{5};
        h.DefaultRow();
        h.IndexRecord(0, 0, Typed(8));
        row.apply(*h.disks[0]);
        EvaContext c;
        h.Install(c);
        c.DiscoverFromMembers();
        EXPECT_EQ(CodeOf([&] { c.ScanLunIndex(); }), row.code) << row.name;
    }
}

TEST_F(Layout, ScanIsBounded)
{
    // 32-bit groups: more than 255 blocks are kept whole, up to 512. On the
    // member that holds the primary RAID copy, the block at 0x1800000 would
    // run into it (at 0x1841800), so the index stops before it.
    struct Row {
        const char* name;
        size_t holder; // member that carries the index (member 0 has the tables)
        uint32_t blocks;
        size_t kept;
        const char* note;
    };
    const Row rows[] = {
        {"BeforeThePrimaryRaidCopy", 0, 12, 9,
         "mem0: the LUN index stops at 0x1800000, before the block that would overlap the primary RAID "
         "information copy at 0x1841800"},
        {"TwoHundredFiftySevenBlocksWhole", 1, 257, 257, nullptr},
        {"FiveHundredTwelveAtMost", 1, 513, 512,
         "mem1: the LUN index goes on past 512 blocks; the scan stops at 0x40600000 and keeps 512"},
    };
    for (const Row& row : rows) {
        MiniGroup h{3, true};
        h.DefaultRow();
        h.disks[row.holder]->Resize(2ULL << 30);
        for (uint32_t b = 0; b < row.blocks; ++b)
            h.IndexRecord(b, 0, Typed(8), row.holder);
        EvaContext c;
        h.Install(c);
        c.DiscoverFromMembers();
        c.ScanLunIndex();
        EXPECT_EQ(c.blockList.size(), row.kept) << row.name;
        if (row.note) {
            EXPECT_TRUE(std::find(c.notes.begin(), c.notes.end(), row.note) != c.notes.end()) << row.name;
        } else {
            EXPECT_TRUE(c.notes.empty()) << row.name;
        }
    }
}

TEST_F(Layout, IndexFromTheNextTaggedMemberWhenTheFirstCannotBeRead)
{
    MiniGroup h{3, true};
    h.DefaultRow();
    for (uint32_t b = 0; b < 2; ++b)
        h.IndexRecord(b, 0, Typed(8), 0);
    for (uint32_t b = 0; b < 3; ++b)
        h.IndexRecord(b, 0, Typed(16), 1);
    h.disks[0]->FailReads(kIndexAt + kSegmentSize + 77, 1);
    EvaContext c;
    h.Install(c);
    c.DiscoverFromMembers();
    c.ScanLunIndex();
    ASSERT_EQ(c.blockList.size(), 3u) << "only member 1's blocks";
    EXPECT_EQ(c.blockList[0][0].type(), 16);
    EXPECT_TRUE(std::any_of(c.notes.begin(), c.notes.end(), [](const std::string& n) {
        return n.find("mem0: its LUN index cannot be read (mem0: the type of record 0 of the LUN index block at "
                      "0x800000 cannot be read: 0x800000 (+4096) do not read (Input/output error))") == 0;
    }));
}

// --- headers --------------------------------------------------------------------

TEST_F(Layout, TypeSixteenRecordsTakeAnIdButGiveNoLun)
{
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors * 3, 1));
    g.IndexRecord(0, 1, g.PutLun(kGiBSectors * 5, 1));
    // A type-16 record whose four groups each name a readable header.
    std::array<Pos, 8> pos;
    for (unsigned p = 0; p < 8; ++p)
        pos[p] = {static_cast<uint8_t>(p % 2 ? MiniGroup::kUnused : 3), 60 + p};
    g.IndexRecord(0, 2, MakeRecord(16, 1, pos));
    g.IndexRecord(0, 3, g.PutLun(kGiBSectors * 7, 1));
    Install();
    const uint64_t before = g.raw[3]->reads;
    ctx.BuildLunLayout();
    EXPECT_EQ(List(), (std::vector<std::tuple<uint32_t, uint32_t, uint64_t>>{{0, 0, 3}, {0, 1, 5}, {0, 3, 7}}));
    EXPECT_EQ(g.raw[3]->reads - before, 4u) << "one header read per group";
}

TEST_F(Layout, CapacityDecidesTheSizeAndTheNumberOfMapRecords)
{
    struct Row {
        uint64_t sectors;
        uint64_t sizeGiB;
        size_t mapRecords;
    };
    const Row rows[] = {
        {2147483648ULL, 1024, 1},        // exactly 1024 GiB
        {1025 * kGiBSectors, 1025, 2},   // just above
        {2097151, 0, 1},                 // one sector short of 1 GiB: still listed
        {UINT64_MAX, UINT64_MAX >> 21, 2}, // no overflow in sectors x 512
    };
    for (uint32_t j = 0; j < std::size(rows); ++j)
        g.IndexRecord(0, j, g.PutLun(rows[j].sectors, 2));
    Install();
    ctx.BuildLunLayout();
    ASSERT_EQ(ctx.lunList.size(), std::size(rows));
    for (size_t j = 0; j < std::size(rows); ++j) {
        const LunEntry& l = *ctx.lunList[j];
        EXPECT_EQ(l.sizeGiB, rows[j].sizeGiB) << j;
        EXPECT_EQ(l.capacitySectors, rows[j].sectors) << j;
        EXPECT_EQ(l.mapRecords.size(), rows[j].mapRecords) << j;
        EXPECT_EQ(l.stripeRecords.size(), 2u) << j;
        EXPECT_TRUE(l.ShortCoverage()) << j;
    }
    EXPECT_EQ(ctx.lunList[3]->DeclaredBytes(), UINT64_MAX);
}

TEST_F(Layout, HeaderFromTheFirstAvailablePosition)
{
    DiskRecord r = g.PutLun(kGiBSectors * 9, 1);
    // Position 0 names column 3, which is missing (empty in both copies);
    // position 1 the header.
    r[6] = r[5];
    r[16] = r[14];
    r[17] = r[15];
    r[5] = 0x03;
    g.IndexRecord(0, 0, r);
    g.Row(1, {10, 11, 12, -1, 14});
    Install();
    ASSERT_EQ(ctx.missingSlots.size(), 1u);
    const uint64_t seeks = g.raw[3]->seeks, reads = g.raw[3]->reads;
    ctx.BuildLunLayout();
    EXPECT_EQ(ctx.lunList.at(0)->sizeGiB, 9u);
    EXPECT_EQ(g.raw[3]->seeks, seeks) << "the missing slot's member is not touched";
    EXPECT_EQ(g.raw[3]->reads, reads);
}

TEST_F(Layout, HeaderCutShortTriesTheNextAlternative)
{
    DiskRecord r = g.PutLun(kGiBSectors * 4, 1);
    // Position 0: a segment on member 3 that ends half-way (member 3 is cut
    // there) and holds another capacity; position 1: the real header.
    r[6] = r[5];
    r[16] = r[14];
    r[17] = r[15];
    r[5] = 0x03;
    r[14] = 0;
    r[15] = 100;
    Header decoy;
    decoy.capacitySectors = kGiBSectors * 77;
    PutHeader(*g.disks[3], 100, decoy);
    g.disks[3]->Resize(100 * kSegmentSize + kSegmentSize / 2);
    g.IndexRecord(0, 0, r);
    Install();
    ctx.BuildLunLayout();
    EXPECT_EQ(ctx.lunList.at(0)->sizeGiB, 4u);
}

TEST_F(Layout, HeaderFaults)
{
    struct Row {
        const char* name;
        int code;
        std::function<void(MiniGroup&, DiskRecord&)> apply;
    };
    const Row rows[] = {
        {"OnlySecondGroupAvailable", kSeriousDamage,
         [](MiniGroup&, DiskRecord& r) {
             r[9] = r[5]; // position 4 names the header, position 0 nothing
             r[22] = r[14];
             r[23] = r[15];
             r[5] = MiniGroup::kUnused;
         }},
        {"HeaderUnreadable", kSeriousDamage,
         [](MiniGroup& m, DiskRecord&) { m.disks[1]->FailReads(m.lastHeaderSegment * kSegmentSize, 1); }},
        {"SeekFails", kSeekFailed,
         [](MiniGroup& m, DiskRecord&) { m.disks[1]->FailSeeksTo(m.lastHeaderSegment * kSegmentSize); }},
        {"OnlyCopyHoldsZeros", kSeriousDamage,
         [](MiniGroup&, DiskRecord& r) {
             r[14] = 0; // position 0: segment 100, never written
             r[15] = 100;
         }},
        {"TypeSixteenGroupUnreadable", kSeriousDamage,
         [](MiniGroup&, DiskRecord& r) {
             r[0] = 16; // groups 1..3 name column 14: nothing
         }},
    };
    for (const Row& row : rows) {
        MiniGroup h{5};
        h.DefaultRow();
        DiskRecord r = h.PutLun(kGiBSectors, 1);
        row.apply(h, r);
        h.IndexRecord(0, 0, r);
        EvaContext c;
        h.Install(c);
        c.DiscoverFromMembers();
        EXPECT_EQ(CodeOf([&] { c.BuildLunLayout(); }), row.code) << row.name;
    }
}

TEST_F(Layout, GroupsAndIdsKeepTheirTruePlacesPastTwoHundredFiftyFive)
{
    // Map records of type 0: headers only, no second index to read.
    const DiskRecord r = g.PutLun(kGiBSectors * 2, 1, 0);
    for (uint32_t j = 0; j < 300; ++j)
        g.IndexRecord(0, j, r);
    g.IndexRecord(1, 0, r);
    g.IndexRecord(1, 1, r);
    Install();
    ctx.BuildLunLayout();
    ASSERT_EQ(ctx.lunList.size(), 302u);
    EXPECT_EQ(ctx.lunList[299]->id, 299u);
    EXPECT_EQ(ctx.lunList[299]->group, 0u);
    EXPECT_EQ(ctx.lunList[301]->group, 1u);
    EXPECT_EQ(ctx.lunList[301]->id, 1u) << "ids restart in every block";
}

// --- second index -------------------------------------------------------------

TEST_F(Layout, OneTypeEightMapRecordReadsTwoPieces)
{
    // 20000 records are written over all four pieces, but pieces 2 and 3
    // are not named, so the run ends after 128 KiB of pieces 0 and 1.
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors * 200, 20000));
    Install();
    ctx.BuildLunLayout();
    const LunEntry& l = *ctx.lunList.at(0);
    ASSERT_EQ(l.stripeRecords.size(), 8192u);
    for (uint32_t k : {0u, 4095u, 4096u, 8191u}) {
        const DiskRecord want = StripeRecord(1, k);
        EXPECT_TRUE(std::equal(l.stripeRecords[k].raw.begin(), l.stripeRecords[k].raw.end(), want.begin())) << k;
    }
    EXPECT_TRUE(l.ShortCoverage());
    EXPECT_EQ(l.CoveredBytes(), 8192 * kRunSize);
}

TEST_F(Layout, TwoTypeEightMapRecordsReadFourPieces)
{
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors * 2048, 262144));
    Install();
    ctx.BuildLunLayout();
    const LunEntry& l = *ctx.lunList.at(0);
    ASSERT_EQ(l.mapRecords.size(), 2u);
    ASSERT_EQ(l.stripeRecords.size(), 262144u) << "the whole 8 MiB, nothing beyond";
    for (uint32_t k : {0u, 4096u, 8192u, 12288u, 131071u, 262143u}) {
        const DiskRecord want = StripeRecord(1, k);
        EXPECT_TRUE(std::equal(l.stripeRecords[k].raw.begin(), l.stripeRecords[k].raw.end(), want.begin())) << k;
    }
    EXPECT_FALSE(l.ShortCoverage());
}

TEST_F(Layout, RunOfStripeRecordsEndsAtTheFirstOtherRecord)
{
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors, 50));
    // Record 20 gets type 21: collection stops there.
    const auto [m, off] = IndexRecordPlace(20);
    g.disks[2]->PutByte((g.lastPieceSegment + m) * kSegmentSize + off, 21);
    Install();
    ctx.BuildLunLayout();
    EXPECT_EQ(ctx.lunList.at(0)->stripeRecords.size(), 20u);
}

TEST_F(Layout, TypeSixteenMapRecordUsesTheFirstMapRecordOnly)
{
    // Capacity above 1024 GiB: a second map record is read from the header,
    // but it names nothing readable and must not be used.
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors * 1500, 30000, 16));
    Install();
    ctx.BuildLunLayout();
    const LunEntry& l = *ctx.lunList.at(0);
    EXPECT_EQ(l.mapRecords.size(), 2u);
    ASSERT_EQ(l.stripeRecords.size(), 30000u);
    const DiskRecord want = StripeRecord(1, 29999);
    EXPECT_TRUE(std::equal(l.stripeRecords.back().raw.begin(), l.stripeRecords.back().raw.end(), want.begin()));
}

TEST_F(Layout, MapRecordOfAnotherTypeGivesNoStripesAndLaterLunsGoOn)
{
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors, 3, 0));
    g.IndexRecord(0, 1, g.PutLun(kGiBSectors, 5));
    Install();
    ctx.BuildLunLayout();
    EXPECT_TRUE(ctx.lunList.at(0)->stripeRecords.empty());
    EXPECT_TRUE(ctx.lunList[0]->ShortCoverage());
    EXPECT_EQ(ctx.lunList.at(1)->stripeRecords.size(), 5u);
    const AnalysisSummary s = Summarize(ctx);
    EXPECT_EQ(LunLine(s.luns[0]), "0\t0\t1G\tshort coverage: 0 of 1073741824 bytes");
    EXPECT_EQ(LunLine(s.luns[1]), "0\t1\t1G\tshort coverage: 41943040 of 1073741824 bytes");
}

TEST_F(Layout, SecondIndexFaults)
{
    struct Row {
        const char* name;
        int code;
        uint8_t mapType;
        std::function<void(MiniGroup&)> apply;
    };
    const Row rows[] = {
        {"PieceUnreadable", kSecondIndexFailed, 8,
         [](MiniGroup& m) { m.disks[2]->FailReads(m.lastPieceSegment * kSegmentSize + 10, 1); }},
        // The member ends where the second piece begins: nothing of it reads.
        {"SecondPieceCutShort", kSecondIndexFailed, 8,
         [](MiniGroup& m) { m.disks[2]->Resize((m.lastPieceSegment + 1) * kSegmentSize); }},
        {"TypeSixteenLastPieceUnreadable", kSecondIndexFailed, 16,
         [](MiniGroup& m) { m.disks[2]->FailReads((m.lastPieceSegment + 3) * kSegmentSize, kSegmentSize); }},
        {"SeekFails", kSeekFailed, 8,
         [](MiniGroup& m) { m.disks[2]->FailSeeksTo((m.lastPieceSegment + 1) * kSegmentSize); }},
    };
    for (const Row& row : rows) {
        MiniGroup h{5};
        h.DefaultRow();
        h.IndexRecord(0, 0, h.PutLun(kGiBSectors, 4, row.mapType));
        row.apply(h);
        EvaContext c;
        h.Install(c);
        c.DiscoverFromMembers();
        EXPECT_EQ(CodeOf([&] { c.BuildLunLayout(); }), row.code) << row.name;
    }
}

TEST_F(Layout, PieceOfZerosFailsOnlyWhereTheCapacityNeedsItsRecords)
{
    // A piece is empty where the index ends before it. Where the records
    // read so far fall short of the declared capacity, zeros in every copy
    // are a lost piece.
    struct Row {
        const char* name;
        uint64_t sectors;
        uint32_t stripes;
        int code;
    };
    const Row rows[] = {
        {"NoRecordsThoughOneGiBDeclared", kGiBSectors, 0, kSecondIndexFailed},
        {"NothingDeclared", 0, 0, 0},
        {"IndexEndsWhereTheNextPieceBegins", 4096 * (kRunSize / 512), 4096, 0}, // 32 GiB
    };
    for (const Row& row : rows) {
        MiniGroup h{5};
        h.DefaultRow();
        h.IndexRecord(0, 0, h.PutLun(row.sectors, row.stripes));
        EvaContext c;
        h.Install(c);
        c.DiscoverFromMembers();
        EXPECT_EQ(CodeOf([&] { c.BuildLunLayout(); }), row.code) << row.name;
        if (row.code == 0) {
            EXPECT_EQ(c.lunList.at(0)->stripeRecords.size(), row.stripes) << row.name;
        }
    }
}

TEST_F(Layout, NoLunFromTypeEightRecordsFailsWithCodeFive)
{
    std::array<Pos, 8> pos;
    for (unsigned p = 0; p < 8; ++p)
        pos[p] = {3, 60};
    g.IndexRecord(0, 0, MakeRecord(16, 1, pos));
    Install();
    EXPECT_EQ(CodeOf([&] { ctx.BuildLunLayout(); }), kNoRaidInfo2);
}

// --- bad sectors in the metadata ------------------------------------------------
// A group whose metadata has spare copies: two RAID rows in both copies of
// the table, and an index of two LUNs whose header and pieces are stored
// four times (type-8 map) and twice (type-16 map). A bad sector costs
// nothing where the bytes are never used or another copy holds them; where
// no copy does, the analysis fails with its code.

namespace {

constexpr uint64_t kPrimary = kRaidPrimaryAt; // record n at + (n - 1) x 2048
constexpr uint64_t kSecond = kRaidSecondAt;
constexpr uint32_t kHeader0 = 40; // LUN 0's header segment; its pieces at 41..44
constexpr uint32_t kHeader1 = 48; // LUN 1's; its pieces at 49..52

MiniGroup SpareCopiesGroup()
{
    MiniGroup g{5};
    g.DefaultRow();
    g.Row(2, {14, 13, 12, 11, 10});
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors * 3, 300, 8, 4)); // records fill pages 0-2 of piece 0
    g.IndexRecord(0, 1, g.PutLun(kGiBSectors * 2, 200, 16, 2)); // pages 0-1
    return g;
}

void BadPage(MiniGroup& g, size_t disk, uint32_t segment, uint64_t at)
{
    g.disks[disk]->FailReads(segment * kSegmentSize + at, 4096);
}

// Header copy c of LUN 0 and piece-0 copy c, all with one bad page.
void BadInEveryHeaderCopy(MiniGroup& g, uint64_t at)
{
    for (unsigned c = 0; c < 4; ++c)
        BadPage(g, MiniGroup::HeaderCopyDisk(c), kHeader0, at);
}
void BadInEveryPieceCopy(MiniGroup& g, uint64_t at)
{
    for (unsigned c = 0; c < 4; ++c)
        BadPage(g, MiniGroup::PieceCopyDisk(c), kHeader0 + 1, at);
}

using FullList = std::vector<std::tuple<uint32_t, uint32_t, uint64_t, std::vector<std::array<uint8_t, 30>>>>;

FullList ListOf(const EvaContext& c)
{
    FullList v;
    for (const auto& l : c.lunList) {
        std::vector<std::array<uint8_t, 30>> stripes;
        for (const LayoutRecord& r : l->stripeRecords)
            stripes.push_back(r.raw);
        v.emplace_back(l->group, l->id, l->sizeGiB, std::move(stripes));
    }
    return v;
}

// The member map as places in the member list (-1: none).
std::vector<int> MapOf(const EvaContext& c)
{
    std::vector<int> v;
    for (const auto& row : c.memberMap)
        for (const MemberDisk* m : row) {
            int at = -1;
            for (size_t i = 0; i < c.members.size(); ++i)
                if (c.members[i].get() == m)
                    at = static_cast<int>(i);
            v.push_back(at);
        }
    return v;
}

struct MetadataFaultRow {
    const char* name;
    void (*damage)(MiniGroup&);
    int code; // 0: the analysis completes, with the intact group's LUN list and member map
    // Each in some note (code 0) or in the error's reason; none: no note at all.
    std::vector<const char*> says;
    bool sectors = false; // failed reads narrowed to 512-byte sectors, as on a drive
};
// Named rows keep test names readable.
inline void PrintTo(const MetadataFaultRow& r, std::ostream* os) { *os << r.name; }

class MetadataFaults : public ::testing::TestWithParam<MetadataFaultRow> {};

} // namespace

TEST_P(MetadataFaults, CompleteWhereEveryNeededByteReadsInSomeCopy)
{
    const MetadataFaultRow& row = GetParam();
    EvaContext intact;
    MiniGroup whole = SpareCopiesGroup();
    whole.Install(intact);
    intact.DiscoverFromMembers();
    intact.BuildLunLayout();
    ASSERT_EQ(intact.lunList.size(), 2u);
    ASSERT_EQ(intact.lunList[0]->stripeRecords.size(), 300u);
    ASSERT_TRUE(intact.notes.empty());

    MiniGroup g = SpareCopiesGroup();
    row.damage(g);
    EvaContext ctx;
    g.Install(ctx);
    if (row.sectors)
        for (auto& m : ctx.members)
            m->policy.block = 512;
    int code = 0;
    std::string reason;
    try {
        ctx.DiscoverFromMembers();
        ctx.BuildLunLayout();
    } catch (const EvaError& e) {
        code = e.code();
        reason = e.reason();
    }
    ASSERT_EQ(code, row.code) << reason;
    std::string said = reason;
    for (const std::string& n : ctx.notes)
        said += "\n" + n;
    if (code == 0) {
        EXPECT_TRUE(ListOf(ctx) == ListOf(intact)) << said;
        EXPECT_EQ(MapOf(ctx), MapOf(intact));
        if (row.says.empty()) {
            EXPECT_TRUE(ctx.notes.empty()) << said;
        }
    }
    for (const char* part : row.says)
        EXPECT_NE(said.find(part), std::string::npos) << "wanted: " << part << "\ngot: " << said;
}

INSTANTIATE_TEST_SUITE_P(
    Analysis, MetadataFaults,
    ::testing::Values(
        // RAID information: records 1 and 2 in both copies, record 3 unsigned.
        MetadataFaultRow{"SecondRaidCopyUnreadable", [](MiniGroup& g) { g.disks[0]->FailReads(kSecond, 4096); }, 0,
                         {"mem0: record 1 of the second RAID information copy cannot be read at 0x1c41000 (+2048): "
                          "Input/output error; the second copy only fills empty entries of the primary one and is "
                          "left unused"}},
        MetadataFaultRow{"PrimaryRaidRecordUnreadable",
                         [](MiniGroup& g) { g.disks[0]->FailReads(kPrimary - 2048, 4096); }, 0,
                         {"mem0: record 1 of the primary RAID information copy cannot be read at 0x1841800 (+2048): "
                          "Input/output error; the bytes it lacks are taken from the same place in the second copy, "
                          "at 0x1c41000"}},
        MetadataFaultRow{"RecordAfterTheLastRaidRecordUnreadable",
                         [](MiniGroup& g) { g.disks[0]->FailReads(kPrimary + 2 * 2048, 512); }, 0,
                         {"mem0: the record after record 2 of the primary RAID information copy cannot be read at "
                          "0x1842800 (+512): Input/output error, and the second copy shows no record at 0x1c42000; "
                          "the run ends after record 2"},
                         true},
        MetadataFaultRow{"PageOverTheLastRaidRecordAndTheNext",
                         [](MiniGroup& g) { g.disks[0]->FailReads(kPrimary + 2048, 4096); }, 0,
                         {"mem0: record 2 of the primary RAID information copy cannot be read at 0x1842000 (+2048)",
                          "taken from the same place in the second copy, at 0x1c41800",
                          "mem0: the record after record 2 of the primary RAID information copy cannot be read at "
                          "0x1842800 (+2048)"}},
        MetadataFaultRow{"FourKiBBeyondTheRecordThatEndsTheRaidRun",
                         [](MiniGroup& g) { g.disks[0]->FailReads(kPrimary + 3 * 2048, 4096); }, 0, {}},
        MetadataFaultRow{"UnusedBytesOfARaidRecord",
                         [](MiniGroup& g) { g.disks[0]->FailReads(kPrimary + 2048 + 1024, 512); }, 0, {}, true},
        MetadataFaultRow{"FirstRaidRecordInNeitherCopy",
                         [](MiniGroup& g) {
                             g.disks[0]->FailReads(kPrimary, 1);
                             g.disks[0]->FailReads(kSecond, 1);
                         },
                         kReadFailed,
                         {"mem0: record 1 of the primary RAID information copy cannot be read at 0x1841800 (+2048): "
                          "Input/output error, so whether the member holds the table is not known, and the second "
                          "copy shows no record at 0x1c41000 (0x1c41000 (+2048): Input/output error) to stand in for "
                          "it"}},
        // LUN index: block 0 holds two records, block 1 begins with 0.
        MetadataFaultRow{"UnusedTailOfAnIndexBlock", [](MiniGroup& g) { BadPage(g, 0, 3, 0x10000); }, 0, {}},
        MetadataFaultRow{"BlockAfterTheIndexBadPastItsFirstByte", [](MiniGroup& g) { BadPage(g, 0, 4, 0x1000); }, 0,
                         {}},
        MetadataFaultRow{"IndexRecordUnreadable", [](MiniGroup& g) { BadPage(g, 0, 3, 0); }, kReadFailed,
                         {"mem0: the type of record 0 of the LUN index block at 0x600000 cannot be read: 0x600000 "
                          "(+4096) do not read (Input/output error)"}},
        // LUN headers: LUN 0's four copies at segment 40 of mem1..mem4.
        MetadataFaultRow{"HeaderCopiesEachBadAtADifferentPage",
                         [](MiniGroup& g) {
                             BadPage(g, 1, kHeader0, 0);
                             BadPage(g, 2, kHeader0, 0x2000);
                             BadPage(g, 3, kHeader0, 0x100000);
                             BadPage(g, 4, kHeader0, 0x1FF000);
                         },
                         0,
                         {"the header of LUN index record 0 of block 0: no copy reads whole (mem1 at 0x5000000: "
                          "0x5000000 (+4096) do not read (Input/output error); mem2 at 0x5000000: 0x5002000 (+4096) "
                          "do not read (Input/output error); mem3 at 0x5000000: 0x5100000 (+4096)",
                          "mem4 at 0x5000000: 0x51ff000 (+4096) do not read (Input/output error)); it is put "
                          "together byte by byte"}},
        MetadataFaultRow{"HeaderCopiesAllBadInBytesNoLunUses",
                         [](MiniGroup& g) { BadInEveryHeaderCopy(g, 0x100000); }, 0,
                         {"it is put together byte by byte, and bytes 0x100000 (+4096) of it read in no copy"}},
        MetadataFaultRow{"HeaderCapacityInNoCopy", [](MiniGroup& g) { BadInEveryHeaderCopy(g, 0x2000); },
                         kSeriousDamage,
                         {"the header of LUN index record 0 of block 0 cannot be read (or holds only zeros) at any of "
                          "its positions 0-3: bytes 0x2008 (+8) of it read in no copy (mem1 at 0x5000000: 0x5002000 "
                          "(+4096) do not read (Input/output error);"}},
        MetadataFaultRow{"HeaderHolesNotFilledFromCopiesOfZeros",
                         [](MiniGroup& g) {
                             BadPage(g, 1, kHeader0, 0);
                             const std::vector<uint8_t> zeros(kSegmentSize, 0);
                             for (size_t d = 2; d <= 4; ++d)
                                 g.disks[d]->Put(kHeader0 * kSegmentSize, zeros.data(), zeros.size());
                         },
                         kSeriousDamage, {"bytes 0x40 (+30) of it read in no copy", "mem2 at 0x5000000: only zeros"}},
        MetadataFaultRow{"SeekFailsOnTheCopyAfterOneThatReadsInPart",
                         [](MiniGroup& g) {
                             BadPage(g, 1, kHeader0, 0);
                             g.disks[2]->FailSeeksTo(kHeader0 * kSegmentSize);
                         },
                         kSeekFailed, {"seek failed: mem2 to offset 0x5000000"}},
        // Second-index pieces: LUN 0's piece 0 at segment 41 of mem2, mem3,
        // mem4, mem1; its 300 records and the one that ends them in the
        // first 9632 bytes. LUN 1 (type-16 map) has two copies of each, its
        // 200 records in the first 6432 bytes of piece 0.
        MetadataFaultRow{"PieceCopiesEachBadAtADifferentPage",
                         [](MiniGroup& g) {
                             BadPage(g, 2, kHeader0 + 1, 0);
                             BadPage(g, 3, kHeader0 + 1, 0x1000);
                             BadPage(g, 4, kHeader0 + 1, 0x2000);
                             BadPage(g, 1, kHeader0 + 1, 0x100000);
                         },
                         0,
                         {"a second-index piece of the LUN at group 0, id 0 (positions 0-3): no copy reads whole "
                          "(mem2 at 0x5200000: 0x5200000 (+4096) do not read (Input/output error); mem3 at "
                          "0x5200000: 0x5201000 (+4096)"}},
        MetadataFaultRow{"PieceCopiesAllBadPastTheRun", [](MiniGroup& g) { BadInEveryPieceCopy(g, 0x10000); }, 0,
                         {"bytes 0x10000 (+4096) of it read in no copy"}},
        MetadataFaultRow{"StripeRecordsInNoPieceCopy", [](MiniGroup& g) { BadInEveryPieceCopy(g, 0x1000); },
                         kSecondIndexFailed,
                         {"a second-index piece of the LUN at group 0, id 0 (positions 0-3): bytes 0x1000 (+4096) of "
                          "it, which the LUN's stripe records need, read in no copy (mem2 at 0x5200000: 0x5201000 "
                          "(+4096) do not read (Input/output error);"}},
        MetadataFaultRow{"TypeSixteenPieceCopiesBadAtDifferentPages",
                         [](MiniGroup& g) {
                             BadPage(g, MiniGroup::PieceCopyDisk(0), kHeader1 + 1, 0);
                             BadPage(g, MiniGroup::PieceCopyDisk(1), kHeader1 + 1, 0x1000);
                         },
                         0, {"a second-index piece of the LUN at group 0, id 1 (positions 0-1): no copy reads whole"}}),
    [](const auto& p) { return std::string(p.param.name); });
