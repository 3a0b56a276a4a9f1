// The whole analysis on generated disk groups: the LUN list must be the one
// the generator wrote, whatever faults the group carries, and the members
// must come out unchanged.
#include "TempDir.h"

#include "engine/Analysis.h"
#include "engine/Context.h"
#include "engine/Errors.h"
#include "engine/Report.h"
#include "tools/Sample.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace corvane;
using namespace corvane::test;
using corvane::sample::GroupPlan;
using corvane::sample::LunPlan;
using corvane::sample::Manifest;

namespace {

constexpr uint64_t kGiBSectors = 1ULL << 21;

class SampleGroup : public ::testing::Test {
protected:
    TempDir dir;
    EvaContext ctx;
    Manifest manifest;

    AnalysisResult Analyse(const GroupPlan& groupPlan)
    {
        manifest = sample::Generate(groupPlan, dir.path().string());
        for (const auto& s : manifest.Sources())
            ctx.sources.push_back({s});
        return RunAnalysis(ctx);
    }

    void ExpectManifestList() const
    {
        ASSERT_EQ(ctx.lunList.size(), manifest.luns.size());
        for (size_t i = 0; i < manifest.luns.size(); ++i) {
            const auto& want = manifest.luns[i];
            const LunEntry& got = *ctx.lunList[i];
            EXPECT_EQ(got.group, want.group) << i;
            EXPECT_EQ(got.id, want.id) << i;
            EXPECT_EQ(got.sizeGiB, want.sizeGiB) << i;
            EXPECT_EQ(got.stripeRecords.size(), want.stripes) << i;
        }
    }

    bool NoteHas(const std::string& part) const
    {
        for (const auto& n : ctx.notes)
            if (n.find(part) != std::string::npos)
                return true;
        return false;
    }
};

} // namespace

TEST_F(SampleGroup, HealthyGroupOverTwoRows)
{
    // 20 members: two RAID rows of 10; LUNs alternate between the rows.
    const AnalysisResult r = Analyse(sample::HealthyGroup(20, {3, 2, 4, 1}));
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
    for (int row = 1; row <= 2; ++row)
        for (int c = 0; c < 10; ++c) {
            const MemberDisk* m = ctx.memberMap[row][c];
            ASSERT_NE(m, nullptr) << row << "," << c;
            EXPECT_EQ(m->diskId, (row - 1) * 10 + c);
        }
    EXPECT_TRUE(ctx.missingSlots.empty());
    EXPECT_TRUE(ctx.notes.empty());
    const AnalysisSummary s = Summarize(ctx);
    EXPECT_EQ(s.memberMap.size(), 20u);
    for (const LunSummary& l : s.luns)
        EXPECT_FALSE(l.shortCoverage);
}

TEST_F(SampleGroup, IndexOverTwoBlocksWithTypeSixteenRecordsAmongTypeEight)
{
    GroupPlan groupPlan = sample::HealthyGroup(6, {});
    auto lun = [](uint32_t block, uint8_t indexType, uint32_t stripes) {
        LunPlan l;
        l.block = block;
        l.indexType = indexType;
        l.stripes = stripes;
        return l;
    };
    groupPlan.luns = {lun(0, 8, 2), lun(0, 16, 1), lun(0, 8, 3), lun(1, 16, 1), lun(1, 8, 1), lun(1, 8, 2)};
    const AnalysisResult r = Analyse(groupPlan);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ASSERT_EQ(ctx.blockList.size(), 2u);
    ExpectManifestList();
    ASSERT_EQ(ctx.lunList.size(), 4u);
    EXPECT_EQ(ctx.lunList[1]->id, 2u) << "the type-16 record keeps its place";
    EXPECT_EQ(ctx.lunList[2]->group, 1u);
    EXPECT_EQ(ctx.lunList[2]->id, 1u);
}

TEST_F(SampleGroup, LargeSparseLunAndTypeSixteenMapRecord)
{
    GroupPlan groupPlan = sample::HealthyGroup(7, {});
    LunPlan big;
    big.stripes = 3;
    big.capacitySectors = 1025 * kGiBSectors; // two map records, mostly unallocated
    LunPlan sixteen;
    sixteen.stripes = 5;
    sixteen.mapType = 16;
    groupPlan.luns = {big, sixteen};
    const AnalysisResult r = Analyse(groupPlan);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
    const LunEntry& l = *ctx.lunList.at(0);
    EXPECT_EQ(l.sizeGiB, 1025u);
    EXPECT_EQ(l.mapRecords.size(), 2u);
    EXPECT_TRUE(l.ShortCoverage());
    const AnalysisSummary s = Summarize(ctx);
    EXPECT_EQ(LunLine(s.luns[0]), "0\t0\t1025G\tshort coverage: 25165824 of 1100585369600 bytes");
    EXPECT_EQ(LunLine(s.luns[1]), "0\t1\t0G");
}

TEST_F(SampleGroup, HeadersAndPiecesOnlyOnTheirSecondAlternative)
{
    GroupPlan groupPlan = sample::HealthyGroup(6, {2, 3});
    for (LunPlan& l : groupPlan.luns) {
        l.headerFirstAlternativeUnreadable = true;
        l.pieceFirstAlternativeUnreadable = true;
    }
    groupPlan.luns[1].mapType = 16;
    const AnalysisResult r = Analyse(groupPlan);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
}

TEST_F(SampleGroup, LostMemberAndHolesLeaveMissingSlotsButTheList)
{
    GroupPlan groupPlan = sample::HealthyGroup(8, {2, 2});
    groupPlan.members[5].present = false;
    groupPlan.primaryHoles = {{1, 2}}; // filled from the second copy
    const AnalysisResult r = Analyse(groupPlan);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
    ASSERT_EQ(ctx.missingSlots.size(), 1u);
    EXPECT_EQ(ctx.missingSlots[0], (SlotKey{1, 5}));
    EXPECT_NE(ctx.memberMap[1][2], nullptr);
}

TEST_F(SampleGroup, UntaggedMemberResolvesItsSlots)
{
    GroupPlan groupPlan = sample::HealthyGroup(6, {2});
    groupPlan.members[3].tagged = false;
    const AnalysisResult r = Analyse(groupPlan);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
    EXPECT_FALSE(ctx.members[3]->HasMemberTag());
    EXPECT_EQ(ctx.memberMap[1][3], ctx.members[3].get());
}

TEST_F(SampleGroup, SameImageAddedTwiceResolvesToTheLaterSource)
{
    manifest = sample::Generate(sample::HealthyGroup(5, {2}), dir.path().string());
    for (const auto& s : manifest.Sources())
        ctx.sources.push_back({s});
    ctx.sources.push_back({manifest.Sources()[2]});
    const AnalysisResult r = RunAnalysis(ctx);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
    EXPECT_EQ(ctx.memberMap[1][2], ctx.members[5].get());
    ASSERT_EQ(ctx.warnings.size(), 1u);
    EXPECT_EQ(ctx.warnings[0].member, 2u);
    EXPECT_EQ(ctx.warnings[0].other, 5u);
    const AnalysisSummary s = Summarize(ctx);
    EXPECT_TRUE(s.members[2].replacedByDuplicate);
    EXPECT_FALSE(s.members[5].replacedByDuplicate);
}

TEST_F(SampleGroup, RepeatedAnalysisGivesTheSameList)
{
    const AnalysisResult r = Analyse(sample::HealthyGroup(5, {1, 2, 1}));
    ASSERT_TRUE(r.ok());
    const AnalysisResult again = RunAnalysis(ctx);
    ASSERT_TRUE(again.ok());
    ExpectManifestList();
    EXPECT_EQ(ctx.members.size(), 5u);
    EXPECT_EQ(ctx.blockList.size(), 1u);
}

TEST_F(SampleGroup, MembersAreNotChanged)
{
    manifest = sample::Generate(sample::HealthyGroup(5, {2, 1}), dir.path().string());
    struct Before {
        std::string sha;
        struct stat st;
    };
    std::vector<Before> before;
    for (const auto& m : manifest.members) {
        Before b{};
        ASSERT_EQ(::stat(m.path.c_str(), &b.st), 0);
        b.sha = sample::Sha256OfFile(m.path, 0, static_cast<uint64_t>(b.st.st_size));
        before.push_back(b);
    }
    for (const auto& s : manifest.Sources())
        ctx.sources.push_back({s});
    ASSERT_TRUE(RunAnalysis(ctx).ok());
    ctx.members.clear(); // close them
    for (size_t i = 0; i < manifest.members.size(); ++i) {
        const auto& m = manifest.members[i];
        struct stat st {};
        ASSERT_EQ(::stat(m.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, before[i].st.st_size) << m.path;
        EXPECT_EQ(st.st_mtim.tv_sec, before[i].st.st_mtim.tv_sec) << m.path;
        EXPECT_EQ(st.st_mtim.tv_nsec, before[i].st.st_mtim.tv_nsec) << m.path;
        EXPECT_EQ(sample::Sha256OfFile(m.path, 0, static_cast<uint64_t>(st.st_size)), before[i].sha) << m.path;
    }
}

// --- stray sources and empty copies ------------------------------------------
// A source that is no member of the group (a new blank disk, another
// system's disk whose byte 115 happens to be a member's id) must leave the
// LUN list and the member map of the group as they are, with a warning; a
// copy of zeros must give way to the next copy.

struct StrayRow {
    const char* name;
    void (*change)(GroupPlan&);
    int warned; // the source the one warning names, -1 for none
    SourceWarning::Kind kind;
};
// Named rows keep test names readable.
inline void PrintTo(const StrayRow& r, std::ostream* os) { *os << r.name; }

class SampleStrays : public SampleGroup, public ::testing::WithParamInterface<StrayRow> {};

sample::MemberPlan Stray(sample::Content content, uint8_t diskId = 0)
{
    sample::MemberPlan m;
    m.diskId = diskId;
    m.tagged = false;
    m.content = content;
    return m;
}

TEST_P(SampleStrays, GroupStaysAsWrittenWithTheWarning)
{
    GroupPlan groupPlan = sample::HealthyGroup(6, {3, 2});
    GetParam().change(groupPlan);
    const AnalysisResult r = Analyse(groupPlan);
    ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
    ExpectManifestList();
    // Each slot holds the member the rows name, which is what the export
    // reads from.
    for (size_t c = 0; c < groupPlan.rows[0].size(); ++c) {
        const MemberDisk* m = ctx.memberMap[1][c];
        ASSERT_NE(m, nullptr) << c;
        EXPECT_EQ(m->source, manifest.members[static_cast<size_t>(groupPlan.rows[0][c])].path) << c;
    }
    EXPECT_TRUE(ctx.missingSlots.empty());
    if (GetParam().warned < 0) {
        EXPECT_TRUE(ctx.warnings.empty());
        return;
    }
    ASSERT_EQ(ctx.warnings.size(), 1u);
    const SourceWarning& w = ctx.warnings[0];
    EXPECT_EQ(w.member, static_cast<size_t>(GetParam().warned));
    EXPECT_EQ(w.kind, GetParam().kind);
    EXPECT_NE(w.text.find(manifest.members[w.member].path), std::string::npos) << w.text;
    EXPECT_NE(w.text.find("holds no"), std::string::npos) << w.text;
}

INSTANTIATE_TEST_SUITE_P(
    Strays, SampleStrays,
    ::testing::Values(
        StrayRow{"BlankAfterMemberWithDiskIdZero",
                 [](GroupPlan& s) { s.members.push_back(Stray(sample::Content::Blank)); }, 6,
                 SourceWarning::Kind::DiskIdCollision},
        StrayRow{"BlankBeforeMemberWithDiskIdZero",
                 [](GroupPlan& s) {
                     s.members.insert(s.members.begin(), Stray(sample::Content::Blank));
                     for (auto& row : s.rows)
                         for (int& m : row)
                             ++m;
                 },
                 0, SourceWarning::Kind::DiskIdCollision},
        StrayRow{"ForeignDiskCarryingAMembersId",
                 [](GroupPlan& s) { s.members.push_back(Stray(sample::Content::Foreign, 3)); }, 6,
                 SourceWarning::Kind::DiskIdCollision},
        StrayRow{"ForeignDiskWithAnIdNoSlotNames",
                 [](GroupPlan& s) { s.members.push_back(Stray(sample::Content::Foreign, 200)); }, 6,
                 SourceWarning::Kind::NoSlot},
        StrayRow{"ZeroFirstCopiesOfHeadersAndPieces",
                 [](GroupPlan& s) {
                     for (LunPlan& l : s.luns) {
                         l.headerFirstAlternativeZero = true;
                         l.pieceFirstAlternativeZero = true;
                     }
                     s.luns[1].mapType = 16;
                 },
                 -1, SourceWarning::Kind::NoSlot}),
    [](const auto& p) { return std::string(p.param.name); });

// --- error codes ---------------------------------------------------------------

struct ErrorRow {
    const char* name;
    int code;
    const char* text;
    void (*damage)(GroupPlan&);
};
// Named rows keep test names readable.
inline void PrintTo(const ErrorRow& r, std::ostream* os) { *os << r.name; }

class SampleGroupErrors : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(SampleGroupErrors, AnalysisFailsWithTheCodeAndItsText)
{
    TempDir dir;
    GroupPlan groupPlan = sample::HealthyGroup(5, {2, 1});
    GetParam().damage(groupPlan);
    const Manifest m = sample::Generate(groupPlan, dir.path().string());
    EvaContext ctx;
    for (const auto& s : m.Sources())
        ctx.sources.push_back({s});
    if (GetParam().code == kOpenDeviceFailed)
        ctx.sources.insert(ctx.sources.begin() + 2, {dir.file("gone.img")});
    const AnalysisResult r = RunAnalysis(ctx);
    EXPECT_EQ(r.status, AnalysisResult::Status::Failed);
    EXPECT_EQ(r.code, GetParam().code);
    EXPECT_EQ(r.text, GetParam().text);
    EXPECT_TRUE(ctx.lunList.empty() || GetParam().code >= kNoRaidInfo2);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SampleGroupErrors,
    ::testing::Values(
        ErrorRow{"SourceCannotBeOpened", kOpenDeviceFailed, "Open Device Failed!", [](GroupPlan&) {}},
        ErrorRow{"NoTaggedMember", kNoRaidInfo, "Can Not Find Eva Raid Infomation!",
                 [](GroupPlan& s) {
                     for (auto& m : s.members)
                         m.tagged = false;
                 }},
        ErrorRow{"OnlyTypeSixteenIndexRecords", kNoRaidInfo2, "Does Not Find RaidInfo2",
                 [](GroupPlan& s) {
                     for (auto& l : s.luns)
                         l.indexType = 16;
                 }},
        ErrorRow{"EveryMemberCutBelowTheHeaders", kSeriousDamage, "Eva Has Been Demage Serious",
                 [](GroupPlan& s) {
                     for (auto& m : s.members)
                         m.truncateAt = 64ULL << 20;
                 }}),
    [](const auto& p) { return std::string(p.param.name); });
