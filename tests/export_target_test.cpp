// Choosing a target: what OpenExportTarget refuses (a source, a device that
// shares storage with one, a mounted or busy device, a device too small)
// and what it accepts, against a fake sysfs tree, real files and, where the
// system lets us, loop devices.
#include "export_hand_fixture.h"

#include "disk/JIO.h"

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace corvane::test {
namespace {

namespace fs = std::filesystem;

struct stat BlockStat(unsigned ma, unsigned mi)
{
    struct stat st {};
    st.st_mode = S_IFBLK | 0600;
    st.st_rdev = makedev(ma, mi);
    return st;
}

struct stat FileStat(unsigned devMa, unsigned devMi, ino_t ino)
{
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    st.st_dev = makedev(devMa, devMi);
    st.st_ino = ino;
    return st;
}

// sdx (8:16) with partitions sdx1 (8:17) and sdx2 (8:18), a device-mapper
// device dm-0 (253:0) on sdx2, and an unrelated drive sdy (8:32).
class FakeSysfs : public ::testing::Test {
protected:
    TempDir dir;
    SystemPaths sys;

    void SetUp() override
    {
        const fs::path root = dir.path() / "sys";
        Device(root / "devices/pci/block/sdx", "8:16", false);
        Device(root / "devices/pci/block/sdx/sdx1", "8:17", true);
        Device(root / "devices/pci/block/sdx/sdx2", "8:18", true);
        fs::create_directories(root / "devices/pci/block/sdx/sdx2/holders/dm-0");
        Device(root / "devices/virtual/block/dm-0", "253:0", false);
        fs::create_directories(root / "devices/virtual/block/dm-0/slaves");
        fs::create_directory_symlink("../../../../pci/block/sdx/sdx2", root / "devices/virtual/block/dm-0/slaves/sdx2");
        Device(root / "devices/pci/block/sdy", "8:32", false);
        fs::create_directories(root / "dev/block");
        Link(root, "8:16", "devices/pci/block/sdx");
        Link(root, "8:17", "devices/pci/block/sdx/sdx1");
        Link(root, "8:18", "devices/pci/block/sdx/sdx2");
        Link(root, "253:0", "devices/virtual/block/dm-0");
        Link(root, "8:32", "devices/pci/block/sdy");
        sys.sysDevBlock = (root / "dev/block").string();
        sys.mounts = dir.file("mounts");
        sys.swaps = dir.file("swaps");
        WriteText(sys.mounts, "proc /proc proc rw 0 0\n");
        WriteText(sys.swaps, "Filename\tType\tSize\tUsed\tPriority\n");
    }

    static void Device(const fs::path& d, const std::string& dev, bool partition)
    {
        fs::create_directories(d / "holders");
        WriteText((d / "dev").string(), dev + "\n");
        if (partition)
            WriteText((d / "partition").string(), "1\n");
    }
    static void Link(const fs::path& root, const std::string& name, const std::string& to)
    {
        fs::create_directory_symlink("../../" + to, root / "dev/block" / name);
    }
    static void WriteText(const std::string& path, const std::string& text)
    {
        std::ofstream(path) << text;
    }

    // A block device node for (ma, mi) inside the scratch directory, as a
    // mount table would name it; empty when nodes cannot be made here.
    std::string Node(const std::string& name, unsigned ma, unsigned mi)
    {
        const std::string path = dir.file(name);
        if (::mknod(path.c_str(), S_IFBLK | 0600, makedev(ma, mi)) != 0)
            return {};
        return path;
    }
};

struct OverlapCase {
    const char* name;
    unsigned aMajor, aMinor, bMajor, bMinor;
    bool overlap;
};

class DeviceOverlap : public FakeSysfs, public ::testing::WithParamInterface<OverlapCase> {};

TEST_P(DeviceOverlap, FollowsPartitionsAndDeviceStacks)
{
    const OverlapCase& c = GetParam();
    EXPECT_EQ(DevicesOverlap(makedev(c.aMajor, c.aMinor), makedev(c.bMajor, c.bMinor), sys), c.overlap);
    EXPECT_EQ(DevicesOverlap(makedev(c.bMajor, c.bMinor), makedev(c.aMajor, c.aMinor), sys), c.overlap);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceOverlap,
                         ::testing::Values(OverlapCase{"SameDevice", 8, 16, 8, 16, true},
                                           OverlapCase{"PartitionAndItsDrive", 8, 17, 8, 16, true},
                                           OverlapCase{"TwoPartitionsOfOneDrive", 8, 17, 8, 18, false},
                                           OverlapCase{"MapperOnAPartitionAndTheDrive", 253, 0, 8, 16, true},
                                           OverlapCase{"MapperAndItsPartition", 253, 0, 8, 18, true},
                                           OverlapCase{"MapperAndTheOtherPartition", 253, 0, 8, 17, false},
                                           OverlapCase{"UnrelatedDrives", 8, 16, 8, 32, false},
                                           OverlapCase{"DevicesSysfsDoesNotKnow", 9, 9, 9, 10, false}),
                         [](const ::testing::TestParamInfo<OverlapCase>& row) { return std::string(row.param.name); });

using TargetConflicts = FakeSysfs;

TEST_F(TargetConflicts, ADriveHoldingASourcePartitionIsRefused)
{
    const std::string why = TargetConflict("/dev/sdx", BlockStat(8, 16), {{"/dev/sdx1", BlockStat(8, 17)}}, sys);
    EXPECT_NE(why.find("/dev/sdx1"), std::string::npos) << why;
    EXPECT_NE(why.find("/dev/sdx"), std::string::npos) << why;
}

TEST_F(TargetConflicts, APartitionOfASourceDriveIsRefused)
{
    EXPECT_FALSE(TargetConflict("/dev/sdx2", BlockStat(8, 18), {{"/dev/sdx", BlockStat(8, 16)}}, sys).empty());
}

TEST_F(TargetConflicts, ADriveNextToTheSourcesIsAccepted)
{
    EXPECT_EQ(TargetConflict("/dev/sdy", BlockStat(8, 32), {{"/dev/sdx1", BlockStat(8, 17)}}, sys), "");
}

TEST_F(TargetConflicts, ImageSourcesOnAFileSystemOfTheTargetAreRefused)
{
    const std::string why = TargetConflict("/dev/sdy", BlockStat(8, 32), {{"/mnt/m0.img", FileStat(8, 32, 12)}}, sys);
    EXPECT_NE(why.find("/mnt/m0.img"), std::string::npos) << why;
    EXPECT_EQ(TargetConflict("/dev/sdy", BlockStat(8, 32), {{"/mnt/m0.img", FileStat(8, 17, 12)}}, sys), "");
}

TEST_F(TargetConflicts, ATargetFileOnASourceDriveIsRefused)
{
    EXPECT_FALSE(TargetConflict("/mnt/out.img", FileStat(8, 17, 5), {{"/dev/sdx", BlockStat(8, 16)}}, sys).empty());
    EXPECT_EQ(TargetConflict("/mnt/out.img", FileStat(8, 32, 5), {{"/dev/sdx", BlockStat(8, 16)}}, sys), "");
}

TEST_F(TargetConflicts, TheSameImageIsRefusedAnotherIsNot)
{
    EXPECT_FALSE(TargetConflict("b.img", FileStat(0, 40, 7), {{"a.img", FileStat(0, 40, 7)}}, sys).empty());
    EXPECT_EQ(TargetConflict("b.img", FileStat(0, 40, 8), {{"a.img", FileStat(0, 40, 7)}}, sys), "");
}

TEST_F(TargetConflicts, ADriveWhosePartitionIsHeldByAnotherDeviceIsRefused)
{
    const std::string why = TargetConflict("/dev/sdx", BlockStat(8, 16), {}, sys);
    EXPECT_NE(why.find("dm-0"), std::string::npos) << why;
    EXPECT_EQ(TargetConflict("/dev/sdx1", BlockStat(8, 17), {}, sys), "");
}

TEST_F(TargetConflicts, ADriveWithAMountedPartitionIsRefusedNamingTheMountPoint)
{
    const std::string node = Node("sdx1", 8, 17);
    if (node.empty())
        GTEST_SKIP() << "block device nodes cannot be made here";
    WriteText(sys.mounts, "proc /proc proc rw 0 0\n" + node + " /mnt/my\\040disk ext4 rw 0 0\n");
    const std::string why = TargetConflict("/dev/sdx", BlockStat(8, 16), {}, sys);
    EXPECT_NE(why.find("/mnt/my disk"), std::string::npos) << why;
    EXPECT_EQ(TargetConflict("/dev/sdy", BlockStat(8, 32), {}, sys), "");
}

TEST_F(TargetConflicts, ADriveUsedAsSwapIsRefused)
{
    const std::string node = Node("sdy", 8, 32);
    if (node.empty())
        GTEST_SKIP() << "block device nodes cannot be made here";
    WriteText(sys.swaps, "Filename\tType\tSize\tUsed\tPriority\n" + node + "\tpartition\t100\t0\t-2\n");
    EXPECT_NE(TargetConflict("/dev/sdy", BlockStat(8, 32), {}, sys).find("swap"), std::string::npos);
}

TEST(TargetOnThisSystem, TheDeviceOfAMountedFileSystemIsRefused)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string dev, dir;
    struct stat st {};
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream f(line);
        if ((f >> dev >> dir) && dev.rfind("/dev/", 0) == 0 && ::stat(dev.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            break;
        dev.clear();
    }
    if (dev.empty())
        GTEST_SKIP() << "no block device is mounted here";
    const std::string why = TargetConflict(dev, st, {});
    EXPECT_NE(why.find("mounted on"), std::string::npos) << dev << ": " << why;
}

// ---------------------------------------------------------------------------
// OpenExportTarget on real files

class OpenTargetTest : public HandGroup {
protected:
    void SetUp() override
    {
        HandGroup::SetUp();
        Build(2);
    }

    // The code and reason of the refusal; 0 when the target was opened.
    int Open(const std::string& path, uint64_t start = 0, std::string* reason = nullptr)
    {
        try {
            OpenExportTarget(ctx, path, start, 2 * kRun);
        } catch (const EvaError& e) {
            if (reason)
                *reason = e.reason();
            return e.code();
        }
        return 0;
    }
};

TEST_F(OpenTargetTest, ASourceReachedThroughAnotherNameIsRefused)
{
    const std::string link = dir.file("hardlink.img"), sym = dir.file("symlink.img");
    ASSERT_EQ(::link(memberPaths[1].c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink(memberPaths[2].c_str(), sym.c_str()), 0);
    for (const std::string& p : {memberPaths[0], link, sym}) {
        std::string reason;
        EXPECT_EQ(Open(p, 0, &reason), kOpenDeviceFailed) << p;
        EXPECT_NE(reason.find(p), std::string::npos) << reason;
        EXPECT_EQ(ExportCode(), kOpenDeviceFailed) << "the refused target stayed open";
    }
}

TEST_F(OpenTargetTest, ANewFileIsCreatedAndAnExistingOneIsNotTruncated)
{
    const std::string fresh = dir.file("new.img"), old = dir.file("old.img");
    EXPECT_EQ(Open(fresh), 0);
    EXPECT_TRUE(fs::exists(fresh));
    WriteFile(old, std::vector<uint8_t>(12345, 7));
    EXPECT_EQ(Open(old), 0);
    EXPECT_EQ(FileSize(old), 12345u);
}

TEST_F(OpenTargetTest, AWidePathOpensTheSameFile)
{
    const std::string name = dir.file("wide-目标.img");
    std::u16string wide;
    for (char c : dir.file("wide-"))
        wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    wide += u"目标.img";
    try {
        OpenExportTarget(ctx, wide, 0, 2 * kRun);
    } catch (const EvaError& e) {
        // A locale that cannot hold the characters refuses with code 1.
        EXPECT_EQ(e.code(), kOpenDeviceFailed);
        return;
    }
    EXPECT_EQ(Export().written, 2u);
    EXPECT_EQ(CountWrongStripes(name, 0, 0, 2), 0);
}

TEST_F(OpenTargetTest, APathThatCannotBeOpenedIsOpenDeviceFailedWithTheReason)
{
    std::string reason;
    EXPECT_EQ(Open(dir.file("no-such-dir/x.img"), 0, &reason), kOpenDeviceFailed);
    EXPECT_NE(reason.find("no-such-dir/x.img"), std::string::npos) << reason;
    EXPECT_EQ(Open(""), kOpenDeviceFailed);
}

// ---------------------------------------------------------------------------
// Loop devices (root with loop support only)

class LoopDevice {
public:
    explicit LoopDevice(const std::string& file)
    {
        const std::string cmd = "losetup -f --show '" + file + "' 2>/dev/null";
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char line[256] = {};
            if (std::fgets(line, sizeof line, p))
                m_node = std::string(line, std::strcspn(line, "\n"));
            ::pclose(p);
        }
    }
    ~LoopDevice()
    {
        if (!m_node.empty())
            std::system(("losetup -d " + m_node + " 2>/dev/null").c_str());
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& node() const { return m_node; }

private:
    std::string m_node;
};

TEST_F(OpenTargetTest, ADeviceTooSmallIsRefusedNamingBothSizes)
{
    const std::string backing = dir.file("small.disk");
    WriteFile(backing, std::vector<uint8_t>(2 * kRun, 0));
    LoopDevice loop(backing);
    if (loop.node().empty())
        GTEST_SKIP() << "loop devices are not available";
    std::string reason;
    EXPECT_EQ(Open(loop.node(), 512, &reason), kOpenDeviceFailed);
    EXPECT_NE(reason.find(loop.node()), std::string::npos) << reason;
    EXPECT_NE(reason.find(std::to_string(2 * kRun) + " bytes"), std::string::npos) << reason;
    EXPECT_NE(reason.find(std::to_string(2 * kRun + 512) + " bytes"), std::string::npos) << reason;
    // An exact fit is accepted.
    EXPECT_EQ(Open(loop.node(), 0), 0);
}

TEST_F(OpenTargetTest, ALoopDeviceOverASourceIsRefused)
{
    LoopDevice loop(memberPaths[3]);
    if (loop.node().empty())
        GTEST_SKIP() << "loop devices are not available";
    std::string reason;
    EXPECT_EQ(Open(loop.node(), 0, &reason), kOpenDeviceFailed);
    EXPECT_NE(reason.find(memberPaths[3]), std::string::npos) << reason;
}

TEST_F(OpenTargetTest, AnExportOntoADiskDeviceAtAnOffset)
{
    const std::string backing = dir.file("disk.disk");
    const uint64_t start = 63 * 512;
    WriteFile(backing, std::vector<uint8_t>(start + 2 * kRun + 4096, 0xEE));
    LoopDevice loop(backing);
    if (loop.node().empty())
        GTEST_SKIP() << "loop devices are not available";
    ASSERT_EQ(Open(loop.node(), start), 0);
    const ExportReport rep = Export(start);
    EXPECT_EQ(rep.written, 2u);
    EXPECT_EQ(CountWrongStripes(loop.node(), start, 0, 2), 0);
    EXPECT_EQ(ReadRange(loop.node(), 0, start), std::vector<uint8_t>(start, 0xEE));
    EXPECT_EQ(ReadRange(loop.node(), start + 2 * kRun, 4096), std::vector<uint8_t>(4096, 0xEE));
}

} // namespace
} // namespace corvane::test
