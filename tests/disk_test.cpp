#include "TempDir.h"

#include "disk/Drives.h"
#include "disk/JIO.h"
#include "disk/Mapfile.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <future>
#include <thread>
#include <unistd.h>

using namespace JFileHandle;
using corvane::test::ReadFile;
using corvane::test::TempDir;
using corvane::test::WriteFile;

namespace {

std::u16string Wide(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

} // namespace

TEST(OpenDiskOrFile, FactoryOrderAndResults)
{
    TempDir dir;
    const std::string missing = dir.file("missing.img");

    // A missing path without create: nothing, and nothing is made.
    EXPECT_EQ(OpenDiskOrFile(missing.c_str(), false, Access::ReadOnly), nullptr);
    EXPECT_FALSE(std::filesystem::exists(missing));

    // With create: a JFile for a new, empty file.
    auto created = OpenDiskOrFile(Wide(missing), true, Access::ReadWrite);
    ASSERT_NE(created, nullptr);
    EXPECT_NE(dynamic_cast<JFile*>(created.get()), nullptr);
    EXPECT_EQ(created->Size(), 0u);
    EXPECT_TRUE(std::filesystem::exists(missing));

    // An existing image comes back as a JDisk whose size query failed.
    WriteFile(dir.file("member.img"), std::vector<uint8_t>(5000, 0xAB));
    auto existing = OpenDiskOrFile(dir.file("member.img").c_str(), false, Access::ReadOnly);
    ASSERT_NE(existing, nullptr);
    EXPECT_NE(dynamic_cast<JDisk*>(existing.get()), nullptr);
    EXPECT_EQ(existing->Size(), 0u);
    existing->Describe();
    EXPECT_STREQ(existing->Description(), "");
}

TEST(OpenDiskOrFile, ExistingFileIsNeverTruncated)
{
    TempDir dir;
    const std::string path = dir.file("target.img");
    std::vector<uint8_t> bytes(3 * 4096);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    WriteFile(path, bytes);

    auto target = OpenDiskOrFile(Wide(path), true, Access::ReadWrite);
    ASSERT_NE(target, nullptr);
    ASSERT_TRUE(target->Seek(4096));
    const std::array<uint8_t, 4> patch{1, 2, 3, 4};
    uint64_t written = 0;
    ASSERT_TRUE(target->Write(patch.data(), 4, &written));
    EXPECT_EQ(written, 4u);
    target.reset();

    auto after = ReadFile(path);
    ASSERT_EQ(after.size(), bytes.size());
    std::copy(patch.begin(), patch.end(), bytes.begin() + 4096);
    EXPECT_EQ(after, bytes);
}

TEST(JIO, ReadAtAndPastTheEndAndSeekBeyond)
{
    TempDir dir;
    const std::string path = dir.file("small.img");
    WriteFile(path, std::vector<uint8_t>(100, 0x5A));
    auto io = OpenDiskOrFile(path.c_str(), false, Access::ReadOnly);
    ASSERT_NE(io, nullptr);

    std::vector<uint8_t> buf(64, 0);
    uint64_t got = 99;
    ASSERT_TRUE(io->Seek(80));
    EXPECT_TRUE(io->Read(buf.data(), 64, &got));
    EXPECT_EQ(got, 20u) << "a read across the end delivers what is there";

    EXPECT_TRUE(io->Read(buf.data(), 64, &got));
    EXPECT_EQ(got, 0u) << "a read at the end succeeds with 0 bytes";

    EXPECT_TRUE(io->Seek(1ull << 40)) << "seeking beyond the end succeeds";
    EXPECT_TRUE(io->Read(buf.data(), 64, &got));
    EXPECT_EQ(got, 0u);

    EXPECT_TRUE(io->ReadAt(90, buf.data(), 64, &got));
    EXPECT_EQ(got, 10u);
    EXPECT_FALSE(io->Seek(UINT64_MAX)) << "an offset past what the platform can hold fails";
}

TEST(JIO, ReadOnlyMembersRefuseWritesAndReadOnlyImagesOpen)
{
    TempDir dir;
    const std::string path = dir.file("evidence.img");
    WriteFile(path, std::vector<uint8_t>(4096, 0x11));
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);

    auto member = OpenDiskOrFile(path.c_str(), false, Access::ReadOnly);
    ASSERT_NE(member, nullptr) << "a write-protected image must open as a member";
    const uint8_t b = 0xFF;
    uint64_t n = 0;
    EXPECT_FALSE(member->Write(&b, 1, &n));
    member.reset();
    EXPECT_EQ(ReadFile(path), std::vector<uint8_t>(4096, 0x11));
}

TEST(JIO, ReadCollectsShortTransfers)
{
    // A pipe delivers the data in pieces; Read must gather the whole count.
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opening does not wait for a writer, and a FIFO without one reads as
    // ended: the read starts once the writer is there.
    JFile f;
    ASSERT_TRUE(f.Open(fifo.c_str(), false, Access::ReadOnly));
    std::promise<void> opened;
    std::thread writer([&] {
        int fd = ::open(fifo.c_str(), O_WRONLY);
        opened.set_value();
        for (int i = 0; i < 10; ++i) {
            const uint8_t piece[10] = {static_cast<uint8_t>(i), 1, 2, 3, 4, 5, 6, 7, 8, 9};
            ASSERT_EQ(::write(fd, piece, sizeof piece), 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::close(fd);
    });
    opened.get_future().wait();
    std::vector<uint8_t> buf(100, 0xEE);
    uint64_t got = 0;
    EXPECT_TRUE(f.Read(buf.data(), 100, &got));
    writer.join();
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(buf[90], 9);
}

TEST(JFile, DescribeAndThrowingConstructor)
{
    TempDir dir;
    const std::string path = dir.file("big.img");
    {
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 1073741823), 0);
        ::close(fd);
    }
    JFile f;
    ASSERT_TRUE(f.Open(path.c_str(), false, Access::ReadOnly));
    EXPECT_EQ(f.Size(), 1073741823u);
    f.Describe();
    EXPECT_STREQ(f.Description(), "0G");

    try {
        JFile missing(Wide(dir.file("nope.img")), false);
        FAIL() << "opening a missing file must raise";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "1");
    }
}

class FakeSysBlock : public ::testing::Test {
protected:
    void Add(const std::string& name, unsigned long long sectors)
    {
        std::filesystem::create_directories(dir.path() / name);
        std::ofstream(dir.path() / name / "size") << sectors << "\n";
    }
    TempDir dir;
};

TEST_F(FakeSysBlock, DriveNumbersFollowTheDocumentedOrder)
{
    Add("sdb", 100);
    Add("sda", 100);
    Add("sdaa", 100);
    Add("vda", 100);
    Add("loop1", 8);
    Add("loop0", 0); // unattached: left out
    Add("ram0", 100);
    Add("zram0", 100);
    Add("nvme0n1", 100);
    Add("loop10", 8);
    const auto drives = ListDrives(dir.path().string());
    std::vector<std::string> names;
    for (const auto& d : drives)
        names.push_back(d.kernelName);
    EXPECT_EQ(names, (std::vector<std::string>{"sda", "sdb", "vda", "sdaa", "loop1", "loop10", "nvme0n1"}));
    EXPECT_EQ(drives[0].devNode, "/dev/sda");
    EXPECT_EQ(drives[0].sizeBytes, 51200u);

    EXPECT_EQ(ResolveDrivePath("\\\\.\\Physicaldrive1", dir.path().string()), "/dev/sdb");
    EXPECT_EQ(ResolveDrivePath("\\\\.\\PHYSICALDRIVE6", dir.path().string()), "/dev/nvme0n1");
    EXPECT_FALSE(std::filesystem::exists(ResolveDrivePath("\\\\.\\Physicaldrive7", dir.path().string())));
    EXPECT_EQ(ResolveDrivePath("/dev/sdb", dir.path().string()), "/dev/sdb");
    EXPECT_EQ(ResolveDrivePath("disk3.img", dir.path().string()), "disk3.img");
}

TEST(DriveNames, FormatAndParse)
{
    EXPECT_EQ(DriveName(0), "\\\\.\\Physicaldrive0");
    EXPECT_EQ(DriveName(127), "\\\\.\\Physicaldrive127");
    EXPECT_EQ(ParseDriveName("\\\\.\\Physicaldrive12"), 12);
    EXPECT_FALSE(ParseDriveName("\\\\.\\Physicaldrive"));
    EXPECT_FALSE(ParseDriveName("\\\\.\\Physicaldrive1a"));
    EXPECT_FALSE(ParseDriveName("/dev/sda"));
}

TEST(JDisk, RealLoopDevice)
{
    if (::geteuid() != 0 || ::access("/sbin/losetup", X_OK) != 0)
        GTEST_SKIP() << "needs root and losetup";
    TempDir dir;
    const std::string path = dir.file("loop.img");
    {
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(::ftruncate(fd, 3ll << 30 | 1 << 29), 0); // 3.5 GiB, sparse
        ::close(fd);
    }
    FILE* p = ::popen(("losetup -f --show " + path + " 2>/dev/null").c_str(), "r");
    char dev[128] = {};
    const bool attached = p && std::fgets(dev, sizeof dev, p) != nullptr;
    if (p)
        ::pclose(p);
    if (!attached || dev[0] != '/')
        GTEST_SKIP() << "loop devices are not available here";
    dev[std::strcspn(dev, "\n")] = 0;

    {
        auto io = OpenDiskOrFile(dev, false, Access::ReadOnly);
        ASSERT_NE(io, nullptr);
        EXPECT_NE(dynamic_cast<JDisk*>(io.get()), nullptr);
        EXPECT_EQ(io->Size(), (3ull << 30) + (1ull << 29));
        io->Describe();
        const std::string kernel = std::string(dev).substr(5);
        EXPECT_EQ(std::string(io->Description()), "Linux " + kernel + " 3G");
    }
    std::system(("losetup -d " + std::string(dev)).c_str());
}

namespace {

// ddrescue's mapfile syntax, accepted and refused, with the line named.
struct MapfileCase {
    const char* name;
    std::string text;
    bool ok;
    const char* error;         // the start of the message when refused
    uint64_t domain;           // when accepted
    uint64_t notRescued;
};

class MapfileParse : public ::testing::TestWithParam<MapfileCase> {};

TEST_P(MapfileParse, TakesDdrescueSyntaxAndRefusesTheRest)
{
    const MapfileCase& c = GetParam();
    JFileHandle::Mapfile map;
    std::string error;
    ASSERT_EQ(JFileHandle::ParseMapfile(c.text, map, error), c.ok) << error;
    if (!c.ok) {
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        return;
    }
    EXPECT_EQ(map.Domain(), c.domain);
    EXPECT_EQ(map.NotRescued().Total(), c.notRescued);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MapfileParse,
    ::testing::Values(
        MapfileCase{"DdrescueWritten",
                    "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
                    "0x00010000     +               1\n#      pos        size  status\n"
                    "0x00000000  0x00008000  +\n0x00008000  0x00001000  -\n0x00009000  0x00007000  *\n",
                    true, "", 0x10000, 0x8000},
        MapfileCase{"DecimalAndOctalNumbersAndCrLf", "0 ?\r\n0 4096 +\r\n4096 010 /\r\n", true, "", 4104, 8},
        MapfileCase{"NoStatusLine", "# only comments\n", false, "line 2: no mapfile status line", 0, 0},
        MapfileCase{"AGap", "0 +\n0 0x1000 +\n0x2000 0x1000 -\n", false, "line 3: block does not start", 0, 0},
        MapfileCase{"AZeroSize", "0 +\n0 0 +\n", false, "line 2: bad block size", 0, 0},
        MapfileCase{"ABlockPast2To64", "0 +\n0 0xFFFFFFFFFFFFFFFF +\n0xFFFFFFFFFFFFFFFF 2 +\n", false,
                    "line 3: bad block size", 0, 0},
        MapfileCase{"AnUnknownStatus", "0 +\n0 0x1000 x\n", false, "line 2: expected", 0, 0},
        MapfileCase{"ANulInsideANumber", std::string("0 +\n0 0x1000\0zz +\n", 17), false, "line 2: expected", 0,
                    0},
        MapfileCase{"ANegativeNumber", "0 +\n0 -4096 +\n", false, "line 2: expected", 0, 0}),
    [](const auto& row) { return std::string(row.param.name); });

// Byte-range sets at their edges: touching ranges merge, removal splits,
// ranges that would pass 2^64 are clipped.
TEST(ExtentSet, MergesSplitsAndClipsAtTheEdges)
{
    using JFileHandle::Extent;
    JFileHandle::ExtentSet s;
    s.Add(10, 10);
    s.Add(30, 10);
    s.Add(20, 10); // touches both: one range
    EXPECT_EQ(s.List(), (std::vector<Extent>{{10, 30}}));
    s.Remove(15, 5);
    EXPECT_EQ(s.List(), (std::vector<Extent>{{10, 5}, {20, 20}}));
    EXPECT_TRUE(s.Covers(20, 20));
    EXPECT_FALSE(s.Covers(14, 2));
    EXPECT_FALSE(s.Intersects(15, 5));
    EXPECT_EQ(s.Complement(0, 50).List(), (std::vector<Extent>{{0, 10}, {15, 5}, {40, 10}}));
    EXPECT_EQ(s.Relative(12, 10).List(), (std::vector<Extent>{{0, 3}, {8, 2}}));
    JFileHandle::ExtentSet top;
    top.Add(UINT64_MAX - 4, 100);
    EXPECT_EQ(top.Total(), 4u);
}

} // namespace
