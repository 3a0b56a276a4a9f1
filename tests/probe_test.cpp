// The content probe on LUNs given as plain bytes: what it must never do on
// damaged or hostile tables (crash, hang, read outside the LUN or a byte
// twice) and what it reads of a LUN that holds nothing.
#include "probe/LunContent.h"

#include "TempDir.h"
#include "disk/Extents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>

using namespace corvane;

namespace {

struct Served {
    JFileHandle::ExtentSet read;
    bool outside = false; // a read beyond the LUN or of a byte read before
};

LunRangeRead Reader(const std::vector<uint8_t>& lun, Served& served, bool lose = false, bool refuse = false)
{
    return [&lun, &served, lose, refuse](uint64_t offset, void* buffer, uint64_t length, uint64_t& lost,
                                         std::string& error) {
        if (offset + length > lun.size() || served.read.Intersects(offset, length))
            served.outside = true;
        served.read.Add(offset, length);
        if (refuse) {
            error = "member 2 refused offset " + std::to_string(offset);
            return false;
        }
        std::memcpy(buffer, lun.data() + offset, std::min<uint64_t>(length, lun.size() - offset));
        lost = lose ? length : 0;
        return true;
    };
}

void PutLE(uint8_t* p, uint64_t v, unsigned n)
{
    for (unsigned i = 0; i < n; ++i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

void MbrEntry(std::vector<uint8_t>& b, uint64_t sector, unsigned slot, uint8_t type, uint64_t start, uint64_t size)
{
    uint8_t* e = b.data() + sector * 512 + 446 + 16 * slot;
    e[4] = type;
    PutLE(e + 8, start, 4);
    PutLE(e + 12, size, 4);
    b[sector * 512 + 510] = 0x55;
    b[sector * 512 + 511] = 0xAA;
}

struct Hostile {
    const char* name;
    size_t size;
    std::function<void(std::vector<uint8_t>&)> build;
};

void PrintTo(const Hostile& c, std::ostream* os)
{
    *os << c.name;
}

class ProbeHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(ProbeHostile, EndsWithoutReadingOutsideTheLun)
{
    std::vector<uint8_t> lun(GetParam().size);
    GetParam().build(lun);
    Served served;
    const LunContent c = ProbeContent(lun.size(), Reader(lun, served));
    EXPECT_FALSE(served.outside);
    EXPECT_EQ(c.bytesRead, served.read.Total());
    EXPECT_FALSE(ContentText(c).empty());
    for (const PartitionInfo& p : c.partitions)
        EXPECT_FALSE(p.fs.Recognised()) << p.number;
}

constexpr size_t k16M = 16u << 20;

INSTANTIATE_TEST_SUITE_P(
    Probe, ProbeHostile,
    ::testing::Values(
        Hostile{"RandomBytes", k16M,
                [](std::vector<uint8_t>& b) {
                    std::mt19937_64 rng(7);
                    for (auto& x : b)
                        x = static_cast<uint8_t>(rng());
                }},
        Hostile{"MbrEntriesPastTheEnd", k16M,
                [](std::vector<uint8_t>& b) {
                    for (unsigned s = 0; s < 4; ++s)
                        MbrEntry(b, 0, s, 0x83, 0xFFFFFF00u - s, 0xFFFFFFFFu);
                }},
        Hostile{"ExtendedChainLoops", k16M,
                [](std::vector<uint8_t>& b) {
                    MbrEntry(b, 0, 0, 0x05, 2048, 20000);
                    MbrEntry(b, 2048, 0, 0x83, 63, 100);
                    MbrEntry(b, 2048, 1, 0x05, 4096, 200); // next record at 6144 ...
                    MbrEntry(b, 6144, 0, 0x83, 63, 100);
                    MbrEntry(b, 6144, 1, 0x05, 0, 200);    // ... leads back to the first
                    MbrEntry(b, 6144, 2, 0x0f, 4096, 200);
                }},
        Hostile{"GptWithHugeEntryCount", k16M,
                [](std::vector<uint8_t>& b) {
                    MbrEntry(b, 0, 0, 0xEE, 1, 0xFFFFFFFFu);
                    std::memcpy(b.data() + 512, "EFI PART", 8);
                    PutLE(b.data() + 512 + 8, 0x10000, 4);
                    PutLE(b.data() + 512 + 12, 92, 4);
                    PutLE(b.data() + 512 + 72, 2, 8);
                    PutLE(b.data() + 512 + 80, 0xFFFFFFFFu, 4);
                    PutLE(b.data() + 512 + 84, 128, 4);
                }},
        Hostile{"NtfsBootSectorPointingAway", k16M,
                [](std::vector<uint8_t>& b) {
                    std::memcpy(b.data() + 3, "NTFS    ", 8);
                    PutLE(b.data() + 11, 512, 2);
                    b[13] = 0xF0;         // 2^16 sectors per cluster
                    b[64] = 0x80;         // 2^-(-128) bytes per record
                    PutLE(b.data() + 48, ~0ull, 8);
                }},
        Hostile{"TableCutShort", 700, [](std::vector<uint8_t>& b) { MbrEntry(b, 0, 0, 0x83, 1, 100); }},
        Hostile{"OneByte", 1, [](std::vector<uint8_t>& b) { b[0] = 0xEB; }}),
    [](const ::testing::TestParamInfo<Hostile>& i) { return std::string(i.param.name); });

TEST(Probe, ZerosAreNothingAndOnlyTheHeadAndTailAreRead)
{
    const std::vector<uint8_t> lun(64u << 20);
    Served served;
    const LunContent c = ProbeContent(lun.size(), Reader(lun, served));
    EXPECT_FALSE(c.Recognised());
    EXPECT_EQ(ContentText(c), "nothing recognised");
    EXPECT_EQ(served.read, (JFileHandle::ExtentSet{{0, 8u << 20}, {63u << 20, 1u << 20}}));
    EXPECT_TRUE(c.errors.empty());
}

TEST(Probe, LostAndRefusedBytesAreSaid)
{
    const std::vector<uint8_t> lun(k16M);
    Served lostServed, refusedServed;
    const LunContent lost = ProbeContent(lun.size(), Reader(lun, lostServed, true));
    EXPECT_EQ(lost.lostBytes, lost.bytesRead);
    EXPECT_NE(ContentText(lost).find("bytes probed were lost"), std::string::npos) << ContentText(lost);
    const LunContent refused = ProbeContent(lun.size(), Reader(lun, refusedServed, false, true));
    ASSERT_FALSE(refused.errors.empty());
    EXPECT_NE(ContentText(refused).find("member 2 refused offset 0"), std::string::npos) << ContentText(refused);
}

// A GPT whose primary header is gone is found by its backup in the last
// sector, which the probe reads with the LUN's tail.
TEST(Probe, GptBackupInTheLastSector)
{
    if (std::system("command -v sfdisk >/dev/null") != 0)
        GTEST_SKIP() << "sfdisk (Debian fdisk) is not installed";
    test::TempDir dir;
    const std::string img = dir.file("gpt.img");
    std::vector<uint8_t> lun(k16M);
    test::WriteFile(img, lun);
    ASSERT_EQ(std::system(("printf 'label: gpt\\nstart=2048, size=8192, name=\"data\"\\n' | sfdisk -q " + img +
                           " >/dev/null 2>&1")
                              .c_str()),
              0);
    lun = test::ReadFile(img);
    ASSERT_EQ(lun.size(), k16M);
    std::fill_n(lun.begin() + 512, 512, uint8_t{0}); // the primary header
    Served served;
    const LunContent c = ProbeContent(lun.size(), Reader(lun, served));
    EXPECT_EQ(c.tableType, "gpt");
    ASSERT_EQ(c.partitions.size(), 1u);
    EXPECT_EQ(c.partitions[0].start, 2048u * 512);
    EXPECT_EQ(c.partitions[0].size, 8192u * 512);
    EXPECT_EQ(c.partitions[0].name, "data");
    EXPECT_EQ(c.partitions[0].type, "0fc63daf-8483-4772-8e79-3d69d8477de4");
}

} // namespace
