// The real-EIO member harness the export tests build on: its map's bad
// blocks must fail with EIO, everything else read as the image holds it, a
// vanished server fail every new read, and nothing stay mounted.
#include "NbdMember.h"
#include "TempDir.h"
#include "tools/Sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace corvane;

namespace {

constexpr uint64_t kStripeSegment = 64ULL << 20; // member 1's data segment of stripe 0
constexpr uint64_t kBadPage = kStripeSegment + 0x40000;

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

std::vector<uint8_t> Pread(int fd, uint64_t offset, size_t len, int& error)
{
    std::vector<uint8_t> buf(len);
    errno = 0;
    const ssize_t n = ::pread(fd, buf.data(), len, static_cast<off_t>(offset));
    error = n < 0 ? errno : 0;
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
}

TEST(NbdMember, FailsTheMapsBadBlocksReadsTheRestAndVanishes)
{
    if (!test::NbdMember::Available())
        GTEST_SKIP() << test::NbdMember::Unavailable();
    test::TempDir dir;
    sample::GroupPlan plan = sample::HealthyGroup(5, {1});
    plan.members[1].unreadable = {{kBadPage, 4096}};
    const sample::Manifest m = sample::Generate(plan, dir.file("group"));
    const sample::MemberOut& image = m.members[1];
    ASSERT_FALSE(image.badMap.empty());
    const std::string before = sample::Sha256OfFile(image.path, 0, std::filesystem::file_size(image.path));
    const Fd direct{::open(image.path.c_str(), O_RDONLY | O_CLOEXEC)};
    ASSERT_GE(direct.fd, 0);
    const std::string mountDir = dir.file("mnt");
    std::string served;
    {
        test::NbdMember member(image.path, image.badMap, {.mountDir = mountDir});
        served = member.Path();
        EXPECT_TRUE(test::NbdMember::IsMountPoint(mountDir));
        EXPECT_EQ(std::filesystem::file_size(served), std::filesystem::file_size(image.path));
        const Fd file{::open(served.c_str(), O_RDONLY | O_CLOEXEC)};
        ASSERT_GE(file.fd, 0) << std::strerror(errno);
        const int fd = file.fd;
        int error = 0;

        // Inside the '-' block: EIO, though the image holds the bytes.
        EXPECT_TRUE(Pread(fd, kBadPage, 4096, error).empty());
        EXPECT_EQ(error, EIO) << std::strerror(error);
        EXPECT_TRUE(Pread(fd, kBadPage + 2048, 512, error).empty());
        EXPECT_EQ(error, EIO) << std::strerror(error);

        // Beside it: the image's bytes (the stripe's pattern, not zeros).
        for (uint64_t at : {kBadPage - 0x10000, kBadPage + 4096}) {
            SCOPED_TRACE(at);
            const auto got = Pread(fd, at, 0x10000, error);
            EXPECT_EQ(error, 0) << std::strerror(error);
            int directError = 0;
            const auto want = Pread(direct.fd, at, 0x10000, directError);
            ASSERT_EQ(want.size(), 0x10000u);
            EXPECT_TRUE(std::any_of(want.begin(), want.end(), [](uint8_t b) { return b != 0; }));
            EXPECT_TRUE(got == want);
        }

        member.Vanish();
        EXPECT_EQ(member.ServerPid(), 0);
        // A page not read before: nothing cached can answer for it.
        EXPECT_TRUE(Pread(fd, kStripeSegment + 0x180000, 4096, error).empty());
        EXPECT_NE(error, 0);
    }
    EXPECT_FALSE(test::NbdMember::IsMountPoint(mountDir));
    EXPECT_FALSE(std::filesystem::exists(served));
    EXPECT_EQ(sample::Sha256OfFile(image.path, 0, std::filesystem::file_size(image.path)), before);
}

} // namespace
