// Discovery on members held in memory: RAID records and their merge, slot
// resolution, damaged tables, identification faults, error codes.
#include "analysis_fakes.h"
#include "TempDir.h"

#include "engine/Context.h"
#include "engine/Errors.h"
#include "engine/Report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace corvane;
using namespace corvane::test;

namespace {

int CodeOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EvaError& e) {
        return e.code();
    }
    return 0;
}

bool AnyNoteHas(const EvaContext& ctx, const std::string& part)
{
    for (const auto& n : ctx.notes)
        if (n.find(part) != std::string::npos)
            return true;
    return false;
}

std::vector<std::pair<int, int>> Missing(const EvaContext& ctx)
{
    std::vector<std::pair<int, int>> v;
    for (const SlotKey& k : ctx.missingSlots)
        v.emplace_back(k.row, k.column);
    return v;
}

} // namespace

// --- BuildSlots -------------------------------------------------------------

struct SlotsRow {
    const char* name;
    std::vector<int> ids; // -1 = empty entry
    uint8_t slotCount;
    std::vector<int> missingColumns;
};
// Named rows keep test names readable.
inline void PrintTo(const SlotsRow& r, std::ostream* os) { *os << r.name; }

class BuildSlotsTable : public ::testing::TestWithParam<SlotsRow> {};

TEST_P(BuildSlotsTable, CountsUpToTheLastFilledEntry)
{
    const SlotsRow& row = GetParam();
    RaidInfoRecord rec;
    rec.number = 7;
    for (size_t c = 0; c < row.ids.size(); ++c) {
        if (row.ids[c] < 0)
            continue;
        rec.entries[c].bytes[0] = 1;
        rec.entries[c].bytes[3] = static_cast<uint8_t>(row.ids[c]);
    }
    rec.BuildSlots();
    EXPECT_EQ(rec.slotCount, row.slotCount);
    ASSERT_EQ(rec.slots.size(), row.slotCount);
    std::vector<int> missing;
    for (size_t i = 0; i < rec.slots.size(); ++i) {
        EXPECT_EQ(rec.slots[i].row, 7);
        EXPECT_EQ(rec.slots[i].column, i);
        if (rec.slots[i].missing) {
            missing.push_back(static_cast<int>(i));
            EXPECT_EQ(rec.slots[i].diskId, 0);
        } else {
            EXPECT_EQ(rec.slots[i].diskId, row.ids[i]);
        }
    }
    EXPECT_EQ(missing, row.missingColumns);
}

INSTANTIATE_TEST_SUITE_P(
    Records, BuildSlotsTable,
    ::testing::Values(SlotsRow{"SixFilled", {1, 2, 3, 4, 5, 6}, 6, {}},
                      SlotsRow{"AllEmpty", {}, 0, {}},
                      SlotsRow{"HoleBeforeLast", {1, 2, -1, 4, 5, 6}, 6, {2}},
                      SlotsRow{"DiskIdZeroIsNotEmpty", {0}, 1, {}},
                      SlotsRow{"SixteenthEntry", {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 9}, 16,
                               {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}}),
    [](const auto& p) { return std::string(p.param.name); });

// --- RAID information ---------------------------------------------------------

class RaidInfo : public ::testing::Test {
protected:
    MiniGroup g{5};
    EvaContext ctx;

    void Discover()
    {
        g.Install(ctx);
        ctx.DiscoverFromMembers();
    }
};

TEST_F(RaidInfo, MapsEverySlotToTheMemberWithItsDiskId)
{
    g.DefaultRow();
    g.Row(2, {14, 13, 12, 11, 10});
    Discover();
    ASSERT_EQ(ctx.raidInfo.size(), 2u);
    ASSERT_EQ(ctx.raidInfoBackup.size(), 2u);
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(ctx.memberMap[1][c], ctx.members[c].get()) << c;
        EXPECT_EQ(ctx.memberMap[2][c], ctx.members[4 - c].get()) << c;
    }
    for (int c = 0; c < kColumns; ++c)
        EXPECT_EQ(ctx.memberMap[0][c], nullptr) << "row 0 stays empty";
    EXPECT_TRUE(ctx.missingSlots.empty());
    EXPECT_TRUE(ctx.notes.empty());
}

TEST_F(RaidInfo, SecondCopyFillsHolesOfTheRecordsBothCopiesHave)
{
    // Primary: three records with holes at (1,2), (2,1), (3,0); second copy:
    // two records, complete.
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 1, {10, 11, -1, 13, 14});
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 2, {10, -1, 12});
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 3, {-1, 11});
    PutRaidRecord(*g.disks[0], kRaidSecondAt, 1, {10, 11, 12, 13, 14});
    PutRaidRecord(*g.disks[0], kRaidSecondAt, 2, {10, 11}); // shorter: slot 2 is not its to fill
    Discover();
    EXPECT_EQ(ctx.memberMap[1][2], ctx.members[2].get());
    EXPECT_EQ(ctx.memberMap[2][1], ctx.members[1].get());
    EXPECT_EQ(ctx.memberMap[2][2], ctx.members[2].get());
    EXPECT_EQ(ctx.memberMap[3][0], nullptr) << "record 3 has no partner in the second copy";
    EXPECT_EQ(Missing(ctx), (std::vector<std::pair<int, int>>{{3, 0}}));
}

TEST_F(RaidInfo, UnknownDiskIdAndEmptyEntriesGoOnTheMissingListInOrder)
{
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 1, {10, 99, -1, 13});
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 2, {-1, 255, 12});
    Discover();
    EXPECT_EQ(Missing(ctx), (std::vector<std::pair<int, int>>{{1, 1}, {1, 2}, {2, 0}, {2, 1}}));
    EXPECT_EQ(ctx.memberMap[1][1], nullptr);
    EXPECT_EQ(ctx.memberMap[2][1], nullptr) << "disk id 255 has no cell";
    EXPECT_EQ(ctx.memberMap[2][2], ctx.members[2].get());
    EXPECT_EQ(ctx.raidInfo[1]->slots[1].missing, 1);
}

TEST_F(RaidInfo, ColumnFifteenNamesNoSlot)
{
    std::vector<int> ids(16, -1);
    ids[0] = 10;
    ids[15] = 11;
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 1, ids);
    Discover();
    EXPECT_EQ(ctx.memberMap[1][0], ctx.members[0].get());
    for (int c = 1; c < kColumns; ++c)
        EXPECT_EQ(ctx.memberMap[1][c], nullptr);
    EXPECT_EQ(ctx.memberMap[2][0], nullptr) << "column 15 must not spill into the next row";
    for (const SlotKey& k : ctx.missingSlots)
        EXPECT_LT(k.column, kColumns);
    EXPECT_TRUE(AnyNoteHas(ctx, "column 15"));
}

TEST_F(RaidInfo, RecordsBeyondSixtyThreeAreIgnored)
{
    for (unsigned n = 1; n <= 70; ++n)
        PutRaidRecord(*g.disks[0], kRaidPrimaryAt, n, {10 + static_cast<int>(n % 5)});
    Discover();
    ASSERT_EQ(ctx.raidInfo.size(), 63u);
    EXPECT_EQ(ctx.raidInfo.back()->number, 63);
    EXPECT_EQ(ctx.memberMap[63][0], ctx.members[63 % 5].get());
    EXPECT_TRUE(AnyNoteHas(ctx, "more than 63 records"));
}

TEST_F(RaidInfo, RunEndsAtTheEndOfTheMember)
{
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 1, {10, 11});
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 2, {12, 13});
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 3, {14});
    // The member ends inside record 3: a partial record is not a record.
    g.disks[0]->Resize(kRaidPrimaryAt + 2 * 2048 + 100);
    Discover();
    ASSERT_EQ(ctx.raidInfo.size(), 2u);
    EXPECT_TRUE(ctx.raidInfoBackup.empty());
    EXPECT_EQ(ctx.memberMap[2][1], ctx.members[3].get());
    EXPECT_EQ(ctx.memberMap[3][0], nullptr);
    EXPECT_TRUE(AnyNoteHas(ctx, "end of the member"));
}

TEST_F(RaidInfo, RunEndsExactlyAtTheEndOfTheMember)
{
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 1, {10, 11});
    g.disks[0]->Resize(kRaidPrimaryAt + 2048);
    Discover();
    EXPECT_EQ(ctx.raidInfo.size(), 1u);
    EXPECT_EQ(ctx.memberMap[1][1], ctx.members[1].get());
}

TEST_F(RaidInfo, FirstTaggedMemberWithoutTablesIsPassedOver)
{
    MiniGroup h{3, true};
    // Member 0 is tagged but holds no table; member 1 holds it; member 2
    // (tagged too) is never read.
    PutRaidRecord(*h.disks[1], kRaidPrimaryAt, 1, {10, 11, 12});
    h.Install(ctx);
    ctx.DiscoverFromMembers();
    EXPECT_EQ(ctx.memberMap[1][2], ctx.members[2].get());
    EXPECT_EQ(h.raw[2]->reads, 1u) << "only its identification block";
}

TEST_F(RaidInfo, UntaggedMemberIsNotReadButResolvesSlots)
{
    // Member 3 is untagged and holds a table of its own: it is never read.
    g.DefaultRow();
    PutRaidRecord(*g.disks[3], kRaidPrimaryAt, 1, {10});
    Discover();
    EXPECT_EQ(g.raw[3]->reads, 1u);
    EXPECT_EQ(ctx.memberMap[1][3], ctx.members[3].get());
    EXPECT_FALSE(ctx.members[3]->HasMemberTag());
}

struct FaultRow {
    const char* name;
    int code;
    void (*apply)(MemoryDisk&);
};
// Named rows keep test names readable.
inline void PrintTo(const FaultRow& r, std::ostream* os) { *os << r.name; }

class RaidInfoFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(RaidInfoFaults, EndsTheAnalysisWithItsCode)
{
    MiniGroup g{5};
    g.DefaultRow();
    PutRaidRecord(*g.disks[0], kRaidPrimaryAt, 2, {10});
    GetParam().apply(*g.disks[0]);
    EvaContext ctx;
    g.Install(ctx);
    EXPECT_EQ(CodeOf([&] { ctx.DiscoverFromMembers(); }), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, RaidInfoFaults,
    ::testing::Values(
        FaultRow{"NoTableAnywhere", kNoRaidInfo, [](MemoryDisk& d) { d.Resize(1 << 20); }},
        FaultRow{"UnsignedFirstRecord", kNoRaidInfo, [](MemoryDisk& d) { d.PutByte(kRaidPrimaryAt + 1, 0x02); }},
        // Both copies hold the table: only a record neither gives is lost
        // (a bad record after the last, or in the second copy, is not: see
        // the layout test's MetadataFaults).
        FaultRow{"FirstRecordUnreadableInBothCopies", kReadFailed,
                 [](MemoryDisk& d) {
                     d.FailReads(kRaidPrimaryAt, 1);
                     d.FailReads(kRaidSecondAt, 1);
                 }},
        FaultRow{"FirstRecordUnreadableAndNoSecondCopy", kReadFailed,
                 [](MemoryDisk& d) {
                     d.FailReads(kRaidPrimaryAt, 1);
                     d.PutByte(kRaidSecondAt, 0); // the second copy has no signed record
                 }},
        FaultRow{"SeekToPrimaryFails", kSeekFailed, [](MemoryDisk& d) { d.FailSeeksTo(kRaidPrimaryAt); }},
        FaultRow{"SeekToSecondFails", kSeekFailed, [](MemoryDisk& d) { d.FailSeeksTo(kRaidSecondAt); }}),
    [](const auto& p) { return std::string(p.param.name); });

// --- identification -----------------------------------------------------------

TEST(Identification, ShortFirstKilobyteCarriesNoTagAndNoDiskId)
{
    // 200 bytes: the tag and disk id 11 are there, but the block is not whole.
    MiniGroup g{5};
    g.DefaultRow();
    auto stub = std::make_unique<MemoryDisk>(200);
    stub->Put(16, kTag.data(), kTag.size());
    stub->PutByte(115, 11);
    EvaContext ctx;
    g.Install(ctx);
    AddMember(ctx, std::move(stub), "stub");
    ctx.DiscoverFromMembers();
    const MemberDisk& s = *ctx.members.back();
    EXPECT_FALSE(s.identified);
    EXPECT_FALSE(s.HasMemberTag());
    EXPECT_EQ(ctx.diskById[11], ctx.members[1].get()) << "the stub must not take disk id 11";
    EXPECT_EQ(ctx.memberMap[1][1], ctx.members[1].get());
    ASSERT_EQ(ctx.warnings.size(), 1u);
    EXPECT_EQ(ctx.warnings[0].kind, SourceWarning::Kind::Unidentified);
    EXPECT_EQ(ctx.warnings[0].member, 5u);
    EXPECT_NE(ctx.warnings[0].text.find("stub: its first kilobyte cannot be read (the source holds only 200 bytes)"),
              std::string::npos);
    const AnalysisSummary sum = Summarize(ctx);
    EXPECT_FALSE(sum.members.back().identified);
    EXPECT_FALSE(sum.members[1].replacedByDuplicate);
}

TEST(Identification, UnreadableFirstKilobyte)
{
    auto d = std::make_unique<MemoryDisk>(1 << 20);
    PutIdentity(*d, 3, true);
    d->FailReads(0, 1024);
    EvaContext ctx;
    AddMember(ctx, std::move(d), "bad");
    EXPECT_FALSE(ctx.members[0]->identified);
    try {
        ctx.DiscoverFromMembers();
        ADD_FAILURE() << "no error";
    } catch (const EvaError& e) {
        EXPECT_EQ(e.code(), kNoRaidInfo);
        EXPECT_NE(e.reason().find("bad: its first kilobyte cannot be read"), std::string::npos) << e.reason();
    }
    EXPECT_EQ(ctx.diskById[3], nullptr);
}

TEST(Identification, LaterTaggedSourceWithTheSameDiskIdTakesItsSlots)
{
    MiniGroup g{5, true};
    g.DefaultRow();
    auto twin = std::make_unique<MemoryDisk>(1 << 20);
    PutIdentity(*twin, 12, true);
    EvaContext ctx;
    g.Install(ctx);
    AddMember(ctx, std::move(twin), "twin");
    ctx.DiscoverFromMembers();
    EXPECT_EQ(ctx.memberMap[1][2], ctx.members[5].get());
    ASSERT_EQ(ctx.warnings.size(), 1u);
    EXPECT_EQ(ctx.warnings[0].kind, SourceWarning::Kind::DiskIdCollision);
    EXPECT_EQ(ctx.warnings[0].member, 2u);
    EXPECT_EQ(ctx.warnings[0].other, 5u);
    EXPECT_EQ(ctx.warnings[0].text,
              "mem2 carries disk id 12, as does the later source twin, which holds its slots; mem2 holds none");
    const AnalysisSummary sum = Summarize(ctx);
    EXPECT_TRUE(sum.members[2].replacedByDuplicate);
    EXPECT_FALSE(sum.members[5].replacedByDuplicate);
}

TEST(Identification, DiskId255IsNoCell)
{
    MiniGroup g{5};
    g.Row(1, {10, 11, 12, 13, 255});
    auto odd = std::make_unique<MemoryDisk>(1 << 20);
    PutIdentity(*odd, 255, false);
    EvaContext ctx;
    g.Install(ctx);
    AddMember(ctx, std::move(odd), "odd");
    ctx.DiscoverFromMembers();
    EXPECT_EQ(ctx.memberMap[1][4], nullptr);
    EXPECT_EQ(Missing(ctx), (std::vector<std::pair<int, int>>{{1, 4}}));
    EXPECT_TRUE(AnyNoteHas(ctx, "odd: disk id 255"));
}

// --- sources -----------------------------------------------------------------

TEST(Sources, UnopenableSourceFailsWithCodeOneKeepingEarlierMembers)
{
    TempDir dir;
    WriteFile(dir.file("a.img"), std::vector<uint8_t>(4096, 0));
    EvaContext ctx;
    ctx.sources = {{dir.file("a.img")}, {dir.file("missing.img")}, {dir.file("a.img")}};
    EXPECT_EQ(CodeOf([&] { ctx.DiscoverArray(); }), kOpenDeviceFailed);
    ASSERT_EQ(ctx.members.size(), 1u);
    EXPECT_TRUE(ctx.members[0]->identified);
}

// Sources that are neither image files nor drives are refused before
// anything is read, at once (a FIFO with no writer must not block the open).
struct RefusedRow {
    const char* name;
    std::string (*make)(const TempDir&); // the path to add
    const char* says;
};
// Named rows keep test names readable.
inline void PrintTo(const RefusedRow& r, std::ostream* os) { *os << r.name; }

class RefusedSources : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedSources, CodeOneNamingThePathAndWhatItIs)
{
    TempDir dir;
    WriteFile(dir.file("a.img"), std::vector<uint8_t>(4096, 0));
    const std::string path = GetParam().make(dir);
    EvaContext ctx;
    ctx.sources = {{dir.file("a.img")}, {path}};
    auto run = std::async(std::launch::async, [&] {
        try {
            ctx.DiscoverArray();
        } catch (const EvaError& e) {
            return std::make_pair(e.code(), e.reason());
        }
        return std::make_pair(0, std::string());
    });
    if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Let a blocked open go before failing, or the test would hang.
        const int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "opening " << path << " blocks";
        run.wait();
        ::close(w);
        return;
    }
    const auto [code, reason] = run.get();
    EXPECT_EQ(code, kOpenDeviceFailed);
    EXPECT_NE(reason.find(path), std::string::npos) << reason;
    EXPECT_NE(reason.find(GetParam().says), std::string::npos) << reason;
    EXPECT_EQ(ctx.members.size(), 1u) << "the refused source is not kept";
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RefusedSources,
    ::testing::Values(RefusedRow{"Fifo",
                                 [](const TempDir& d) {
                                     const std::string p = d.file("pipe");
                                     ::mkfifo(p.c_str(), 0600);
                                     return p;
                                 },
                                 "a FIFO (named pipe), not a drive or an image file"},
                      RefusedRow{"Directory", [](const TempDir& d) { return d.path().string(); }, "a directory"},
                      RefusedRow{"Socket",
                                 [](const TempDir& d) {
                                     const std::string p = d.file("sock");
                                     const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
                                     sockaddr_un a{};
                                     a.sun_family = AF_UNIX;
                                     std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
                                     ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
                                     ::close(s); // the node stays
                                     return p;
                                 },
                                 "a socket"},
                      RefusedRow{"DevZero", [](const TempDir&) { return std::string("/dev/zero"); },
                                 "a character device, not a drive"},
                      RefusedRow{"Missing", [](const TempDir& d) { return d.file("missing.img"); },
                                 "No such file or directory"}),
    [](const auto& p) { return std::string(p.param.name); });

// --- where the tables come from when their holder fails -----------------------

struct HolderRow {
    const char* name;
    void (*damage)(MemoryDisk& holder);
    bool secondHolderHasTables;
    int code; // 0: discovery succeeds from the second holder
};
// Named rows keep test names readable.
inline void PrintTo(const HolderRow& r, std::ostream* os) { *os << r.name; }

class HolderFallback : public ::testing::TestWithParam<HolderRow> {};

TEST_P(HolderFallback, NextTaggedMemberWithTheTablesIsTried)
{
    // Members 0 and 1 are tagged and both carry the tables; member 1's
    // copy differs in row 2, so the map tells which one was used.
    MiniGroup g{5, true};
    g.DefaultRow();
    g.Row(2, {10, 11});
    if (GetParam().secondHolderHasTables) {
        PutRaidRecord(*g.disks[1], kRaidPrimaryAt, 1, {10, 11, 12, 13, 14});
        PutRaidRecord(*g.disks[1], kRaidPrimaryAt, 2, {14, 13});
        PutRaidRecord(*g.disks[1], kRaidSecondAt, 1, {10, 11, 12, 13, 14});
    }
    GetParam().damage(*g.disks[0]);
    EvaContext ctx;
    g.Install(ctx);
    const int code = CodeOf([&] { ctx.DiscoverFromMembers(); });
    EXPECT_EQ(code, GetParam().code);
    if (code != 0)
        return;
    ASSERT_EQ(ctx.raidInfo.size(), 2u) << "nothing of the failed read is kept";
    EXPECT_EQ(ctx.raidInfoBackup.size(), 1u);
    EXPECT_EQ(ctx.memberMap[2][0], ctx.members[4].get());
    EXPECT_TRUE(AnyNoteHas(ctx, "mem0: its RAID information cannot be read (mem0: record 1 of the primary RAID "
                                "information copy cannot be read at 0x1841800 (+2048): Input/output error, so whether "
                                "the member holds the table is not known, and the second copy shows no record at "
                                "0x1c41000"));
}

void FirstRecordInNeitherCopy(MemoryDisk& d)
{
    d.FailReads(kRaidPrimaryAt, 1);
    d.FailReads(kRaidSecondAt, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, HolderFallback,
    ::testing::Values(HolderRow{"FirstPrimaryRecordInNeitherCopy", FirstRecordInNeitherCopy, true, 0},
                      HolderRow{"FirstPrimaryRecordUnreadableAndNoSecondCopy",
                                [](MemoryDisk& d) {
                                    d.FailReads(kRaidPrimaryAt, 1);
                                    d.PutByte(kRaidSecondAt + 1, 0x02);
                                },
                                true, 0},
                      HolderRow{"NoOtherHolder", FirstRecordInNeitherCopy, false, kReadFailed}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Identification, TablesOfAnUnidentifiedHolderAreTriedLast)
{
    // The only holder's first kilobyte is unreadable: its tables still give
    // the map, and only its own slot stays without a member.
    MiniGroup g{5};
    g.DefaultRow();
    std::array<Pos, 8> pos;
    pos.fill({MiniGroup::kUnused, 0});
    g.IndexRecord(0, 0, MakeRecord(8, 1, pos));
    g.disks[0]->FailReads(0, 1024);
    EvaContext ctx;
    g.Install(ctx);
    ctx.DiscoverFromMembers();
    ctx.ScanLunIndex(); // the LUN index, too, comes from it
    EXPECT_EQ(ctx.blockList.size(), 1u);
    EXPECT_EQ(ctx.memberMap[1][0], nullptr);
    EXPECT_EQ(Missing(ctx), (std::vector<std::pair<int, int>>{{1, 0}}));
    for (int c = 1; c < 5; ++c)
        EXPECT_EQ(ctx.memberMap[1][c], ctx.members[c].get()) << c;
    EXPECT_TRUE(AnyNoteHas(ctx, "the RAID information was taken from mem0, whose first kilobyte cannot be read"));
    ASSERT_EQ(ctx.warnings.size(), 1u);
    EXPECT_EQ(ctx.warnings[0].kind, SourceWarning::Kind::Unidentified);
}
