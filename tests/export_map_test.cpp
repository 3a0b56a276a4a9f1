// The rescue map: span bookkeeping, the ddrescue mapfile text both ways,
// what an export report turns into, and the atomic save.
#include "TempDir.h"
#include "export/Export.h"
#include "export/RescueMap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace corvane::test {
namespace {

constexpr uint64_t kRun = 0x800000;
constexpr uint64_t kChunk = 0x20000;

TEST(RescueMapSpans, MarkSplitsAndMergesNeighbours)
{
    RescueMap m(100);
    m.Mark(10, 20, '+');
    m.Mark(30, 10, '+');
    m.Mark(50, 200, '-'); // clipped at the end
    EXPECT_EQ(m.Spans(), (std::vector<MapSpan>{{0, 10, '?'}, {10, 30, '+'}, {40, 10, '?'}, {50, 50, '-'}}));
    m.Mark(0, 100, '+');
    EXPECT_EQ(m.Spans(), (std::vector<MapSpan>{{0, 100, '+'}}));
    m.Mark(100, 5, '-'); // beyond the end: nothing
    EXPECT_EQ(m.Total('+'), 100u);
}

TEST(RescueMapSpans, FirstNotDoneSkipsRescuedAndBadAreas)
{
    RescueMap m(64);
    EXPECT_EQ(m.FirstNotDone(), 0u);
    m.Mark(0, 16, '+');
    m.Mark(16, 8, '-');
    EXPECT_EQ(m.FirstNotDone(), 24u);
    m.Mark(24, 40, '+');
    EXPECT_EQ(m.FirstNotDone(), 64u);
}

TEST(RescueMapReport, WrittenStripesBecomeRescuedWithTheirZeroRangesBad)
{
    RescueMap m(10 * kRun);
    m.Mark(0, 2 * kRun, '+'); // a former run
    ExportReport r;
    r.stripes = 10;
    r.firstStripe = 2;
    r.written = 3;
    r.zeroRanges = {{2 * kRun + kChunk, kChunk}, {4 * kRun, 2 * kChunk}};
    ApplyReport(m, r);
    EXPECT_EQ(m.Spans(), (std::vector<MapSpan>{{0, 2 * kRun + kChunk, '+'},
                                               {2 * kRun + kChunk, kChunk, '-'},
                                               {2 * kRun + 2 * kChunk, 2 * kRun - 2 * kChunk, '+'},
                                               {4 * kRun, 2 * kChunk, '-'},
                                               {4 * kRun + 2 * kChunk, kRun - 2 * kChunk, '+'},
                                               {5 * kRun, 5 * kRun, '?'}}));
    // A later checkpoint of the same run only adds.
    r.written = 4;
    ApplyReport(m, r);
    EXPECT_EQ(m.FirstNotDone(), 6 * kRun);
    EXPECT_EQ(m.Total('-'), 3 * kChunk);
}

TEST(RescueMapText, RendersWhatItParsesBack)
{
    RescueMap m(24 * kRun);
    m.Mark(0, 3 * kRun, '+');
    m.Mark(kRun, kChunk, '-');
    m.notes = {"corvane lun 0:1 stripes 24 offset 512 target /tmp/out file.img"};
    const std::string text = m.Render("corvane-cli export a b --lun 0:1");
    EXPECT_NE(text.find("# Mapfile."), std::string::npos);
    EXPECT_NE(text.find("\n0x01800000     ?               1\n"), std::string::npos) << text;
    RescueMap back;
    std::string error;
    ASSERT_TRUE(RescueMap::Parse(text, back, error)) << error;
    EXPECT_EQ(back.Size(), m.Size());
    EXPECT_EQ(back.Spans(), m.Spans());
    EXPECT_EQ(back.notes, m.notes);

    m.Mark(0, 24 * kRun, '+');
    EXPECT_NE(m.Render("x").find("# Finished\n"), std::string::npos);
}

struct BadMap {
    const char* name;
    const char* text;
    const char* error;
};

class RescueMapParse : public ::testing::TestWithParam<BadMap> {};

TEST_P(RescueMapParse, RefusesDamagedTextNamingTheLine)
{
    RescueMap m;
    std::string error;
    EXPECT_FALSE(RescueMap::Parse(GetParam().text, m, error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RescueMapParse,
    ::testing::Values(BadMap{"Empty", "", "no mapfile status line"},
                      BadMap{"NotAMapfile", "hello world\n", "line 1"},
                      BadMap{"Gap", "0 ?\n0x0 0x10 +\n0x20 0x10 ?\n", "line 3"},
                      BadMap{"Overlap", "0 ?\n0x0 0x10 +\n0x8 0x10 ?\n", "line 3"},
                      BadMap{"UnknownStatus", "# c\n0 ?\n0x0 0x10 X\n", "line 3"},
                      BadMap{"ZeroSize", "0 ?\n0x0 0x0 +\n", "line 2"},
                      BadMap{"NegativeNumber", "0 ?\n-1 0x10 +\n", "line 2"},
                      BadMap{"TrailingJunk", "0 ?\n0 16 + x\n", "line 2"}),
    [](const ::testing::TestParamInfo<BadMap>& row) { return std::string(row.param.name); });

TEST(RescueMapText, ReadsWhatDdrescueWrites)
{
    const char* text = "# Mapfile. Created by GNU ddrescue version 1.27\n"
                       "# Command line: ddrescue /dev/sdb img map\n"
                       "# current_pos  current_status  current_pass\n"
                       "0x00100000     +               1\n"
                       "#      pos        size  status\n"
                       "0x00000000  0x00080000  +\r\n"
                       "0x00080000  0x00001000  *\n"
                       "0x00081000  0x0007F000  /\n"
                       "\n"
                       "1048576  1048576  -\n";
    RescueMap m;
    std::string error;
    ASSERT_TRUE(RescueMap::Parse(text, m, error)) << error;
    EXPECT_EQ(m.Size(), 0x200000u);
    EXPECT_EQ(m.FirstNotDone(), 0x80000u);
    EXPECT_TRUE(m.notes.empty());
}

TEST(SaveFileAtomically, ReplacesTheWholeFileAndLeavesNoTemporary)
{
    TempDir dir;
    const std::string path = dir.file("lun.map");
    std::string error;
    ASSERT_TRUE(SaveFileAtomically(path, "first\n", error)) << error;
    ASSERT_TRUE(SaveFileAtomically(path, "second\n", error)) << error;
    std::string text;
    ASSERT_TRUE(LoadFile(path, text, error)) << error;
    EXPECT_EQ(text, "second\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(SaveFileAtomically, AFailureKeepsTheOldFile)
{
    TempDir dir;
    const std::string path = dir.file("sub/lun.map");
    std::filesystem::create_directory(dir.file("sub"));
    std::string error;
    ASSERT_TRUE(SaveFileAtomically(path, "kept\n", error));
    // The temporary cannot be made: a directory stands in its way.
    std::filesystem::create_directory(path + ".tmp");
    EXPECT_FALSE(SaveFileAtomically(path, "lost\n", error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    std::string text;
    ASSERT_TRUE(LoadFile(path, text, error));
    EXPECT_EQ(text, "kept\n");
}

} // namespace
} // namespace corvane::test
