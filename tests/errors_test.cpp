#include "engine/Analysis.h"
#include "engine/Context.h"
#include "engine/Errors.h"

#include <gtest/gtest.h>

#include <clocale>

using namespace corvane;

TEST(ErrorCodes, EveryCodeShowsItsOwnText)
{
    const std::pair<int, const char*> table[] = {
        {1, "Open Device Failed!"},   {4, "Can Not Find Eva Raid Infomation!"},
        {5, "Does Not Find RaidInfo2"}, {6, "Eva Has Been Demage Serious"},
        {8, "Write Failed!"},         {9, "read failed!"},
        {10, "create thread failed!"}, {11, "Seek Failed!"},
        {12, "获取vhd设备名称失败！"},  {13, "附加vhd失败！S"},
        {14, "Find Second Index Failed!"}, {15, "Invalid UTF-8 sequence."},
        {16, "Error in conversion."}, {17, "sLa falla!"},
    };
    for (const auto& [code, text] : table) {
        try {
            Raise(code, "detail");
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), std::to_string(code)) << "what() is only the code";
            EXPECT_EQ(MessageText(e.what()), text) << "code " << code;
        }
    }
}

TEST(ErrorCodes, MessagesThatAreNoCodeStillGiveAText)
{
    EXPECT_EQ(MessageCode("11"), 11);
    EXPECT_EQ(MessageCode("9 trailing"), 9);
    EXPECT_EQ(MessageCode("-3"), -3);
    EXPECT_EQ(MessageCode("std::bad_alloc"), 0);
    EXPECT_EQ(MessageCode("99999999999999"), 0);
    for (const char* m : {"std::bad_alloc", "0", "18", "-1", "", "99999999999999"}) {
        const std::string t = MessageText(m);
        EXPECT_FALSE(t.empty()) << m;
        EXPECT_EQ(CodeText(MessageCode(m)), nullptr) << m;
    }
    EXPECT_NE(MessageText("std::bad_alloc").find("std::bad_alloc"), std::string::npos);
}

class OemPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::setlocale(LC_ALL, "C.UTF-8"))
            GTEST_SKIP() << "no C.UTF-8 locale";
    }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(OemPath, AsciiNonAsciiAndUnpairedSurrogate)
{
    EXPECT_EQ(ToOemPath(u"\\\\.\\Physicaldrive3"), "\\\\.\\Physicaldrive3");
    EXPECT_EQ(ToOemPath(u"/images/disk1.img").size(), 17u);
    EXPECT_EQ(ToOemPath(u"/镜像/盘1.img"), "/镜像/盘1.img");
    // Longer than the 31 bytes a fixed field would hold: kept whole.
    const std::u16string longPath(300, u'a');
    EXPECT_EQ(ToOemPath(longPath).size(), 300u);

    try {
        ToOemPath(std::u16string(u"/img/") + char16_t(0xD800) + u".img");
        FAIL() << "an unpaired surrogate must raise";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "15");
    }
    try {
        ToOemPath(std::u16string(1, char16_t(0xDC00)));
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "15");
    }
}

TEST(OemPathGbk, CharactersWithoutANarrowFormRaise16)
{
    if (!std::setlocale(LC_ALL, "zh_CN.GBK") && !std::setlocale(LC_ALL, "zh_CN.gbk"))
        GTEST_SKIP() << "no GBK locale installed";
    EXPECT_EQ(ToOemPath(u"盘"), "\xC5\xCC");
    try {
        ToOemPath(u"\U0001F600"); // an emoji has no GBK form
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "16");
    }
    std::setlocale(LC_ALL, "C");
}

TEST(Analysis, NoSourceGivesTheMessageAndTouchesNothing)
{
    EvaContext ctx;
    const AnalysisResult r = RunAnalysis(ctx);
    EXPECT_EQ(r.status, AnalysisResult::Status::NoSources);
    EXPECT_EQ(r.text, "Please Add Disks Of Images");
    EXPECT_TRUE(ctx.members.empty());
    EXPECT_TRUE(ctx.lunList.empty());
}

TEST(Analysis, ResetEmptiesEveryAnalysisTable)
{
    EvaContext ctx;
    ctx.sources.push_back({"a.img"});
    ctx.members.push_back(std::make_unique<MemberDisk>());
    ctx.memberMap[1][2] = ctx.members.back().get();
    ctx.diskById[7] = ctx.members.back().get();
    ctx.raidInfo.push_back(std::make_unique<RaidInfoRecord>());
    ctx.raidInfoBackup.push_back(std::make_unique<RaidInfoRecord>());
    ctx.missingSlots.push_back({1, 3});
    ctx.blockList.emplace_back(3);
    ctx.lunList.push_back(std::make_unique<LunEntry>());
    ctx.notes.push_back("x");

    ctx.ResetAnalysis();
    EXPECT_EQ(ctx.sources.size(), 1u) << "sources are the user's, not the analysis'";
    EXPECT_TRUE(ctx.members.empty());
    EXPECT_EQ(ctx.memberMap[1][2], nullptr);
    EXPECT_EQ(ctx.diskById[7], nullptr);
    EXPECT_TRUE(ctx.raidInfo.empty());
    EXPECT_TRUE(ctx.raidInfoBackup.empty());
    EXPECT_TRUE(ctx.missingSlots.empty());
    EXPECT_TRUE(ctx.blockList.empty());
    EXPECT_TRUE(ctx.lunList.empty());
    EXPECT_TRUE(ctx.notes.empty());
}
