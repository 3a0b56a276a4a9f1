// Building one stripe from its five positions, byte range by byte range: a
// byte is read where its segment reads, rebuilt from the other four where
// only it is unreadable, zero where two or more are; the parity is read
// only where a rebuild needs it.
#include "analysis_fakes.h"
#include "export/Segment.h"
#include "export/PageBuffer.h"
#include "export_fakes.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace corvane::test {
namespace {

using JFileHandle::Extent;

constexpr uint64_t K = 1024;

struct ResolveCase {
    const char* name;
    // Unreadable pages of each position's segment (4 KiB aligned), and the
    // positions that have no member at all.
    std::map<unsigned, std::vector<Extent>> bad;
    std::set<unsigned> absent;
    uint64_t rebuilt;
    uint64_t lost;
    // LUN ranges that must come out lost; empty: only the total is checked.
    std::vector<Extent> lostRanges;
    // Bytes of the parity that may be read (a rebuild's needs), checked when set.
    std::vector<Extent> parityRead;
};

class ResolveStripeTest : public ::testing::TestWithParam<ResolveCase> {
protected:
    void SetUp() override
    {
        std::vector<uint8_t> parity(kSeg, 0), seg(kSeg);
        for (unsigned p = 0; p < 5; ++p) {
            auto disk = std::make_unique<MemoryDisk>(kSeg);
            if (p < 4) {
                FillSegment(7, 100 + p, seg.data());
                XorInto(parity.data(), seg.data(), kSeg);
                disk->Put(0, seg.data(), kSeg);
            } else {
                disk->Put(0, parity.data(), kSeg);
            }
            disks[p] = disk.get();
            members[p].io = std::move(disk);
            members[p].source = "member" + std::to_string(p);
            buffers[p] = PageBuffer(kSeg);
        }
        std::array<const uint8_t*, 4> pieces{};
        std::vector<std::vector<uint8_t>> copies(4, std::vector<uint8_t>(kSeg));
        for (unsigned p = 0; p < 4; ++p) {
            uint64_t got = 0;
            members[p].io->ReadAt(0, copies[p].data(), static_cast<uint32_t>(kSeg), &got);
            pieces[p] = copies[p].data();
        }
        intact.resize(kRun);
        Interleave(pieces, intact.data());
    }

    std::array<MemberDisk, 5> members;
    std::array<MemoryDisk*, 5> disks{};
    std::array<PageBuffer, 5> buffers;
    std::array<SegmentState, 5> states;
    std::vector<uint8_t> intact;
};

TEST_P(ResolveStripeTest, RecoversEveryByteThatParityCovers)
{
    const ResolveCase& c = GetParam();
    const bool degraded = std::any_of(c.absent.begin(), c.absent.end(), [](unsigned p) { return p < 4; });
    std::array<SegmentState*, 5> seg{};
    std::string error;
    for (unsigned p = 0; p < 5; ++p) {
        if (c.bad.count(p))
            for (const Extent& e : c.bad.at(p))
                disks[p]->FailReads(e.offset, e.length);
        std::memset(buffers[p].data(), 0xEE, kSeg); // stale bytes must never show
        seg[p] = &states[p];
        if (c.absent.count(p)) {
            states[p].Reset(SegmentSource::Absent, nullptr, 0, buffers[p].data());
            continue;
        }
        // As the export plans it: data read ahead, parity on demand unless
        // a data position is known to be lost.
        const bool ahead = p < 4 || degraded;
        states[p].Reset(ahead ? SegmentSource::Buffer : SegmentSource::OnDemand, &members[p], 0, buffers[p].data());
        if (ahead) {
            ASSERT_TRUE(LoadRange(states[p], 0, kSeg, {}, error)) << error;
        }
    }
    StripeOutcome out;
    ASSERT_TRUE(ResolveStripe(3, seg, true, {}, out, error)) << error;
    EXPECT_EQ(out.rebuilt, c.rebuilt);
    EXPECT_EQ(out.lost, c.lost);
    EXPECT_EQ(out.read + out.rebuilt + out.lost, 4 * kSeg);
    EXPECT_EQ(out.lostRanges.Total(), c.lost);
    if (!c.lostRanges.empty()) {
        EXPECT_EQ(out.lostRanges.List(), c.lostRanges);
    }
    if (!c.absent.count(4) && !degraded) {
        JFileHandle::ExtentSet want;
        for (const Extent& e : c.parityRead)
            want.Add(e);
        EXPECT_EQ(states[4].loaded, want) << "the parity is read exactly where a rebuild needs it";
    }

    // The stripe as written: the intact LUN bytes but for the lost ranges,
    // which are zero (stripe 3 begins at LUN byte 3 x 8 MiB).
    std::vector<uint8_t> got(kRun), want = intact;
    Interleave({states[0].buffer, states[1].buffer, states[2].buffer, states[3].buffer}, got.data());
    for (const Extent& e : out.lostRanges) {
        ASSERT_GE(e.offset, 3 * kRun);
        std::memset(want.data() + (e.offset - 3 * kRun), 0, e.length);
    }
    EXPECT_TRUE(got == want) << "stripe bytes differ from the intact data outside the lost ranges";

    // The same rules for one chunk row alone, as a range read asks: the
    // row of the first bad byte, kept in a window of one chunk per position.
    uint64_t row = 0;
    for (const auto& [p, ranges] : c.bad)
        if (p < 4 && !ranges.empty()) {
            row = ranges.front().offset / kChunk;
            break;
        }
    std::array<PageBuffer, 5> window;
    std::array<SegmentState, 5> part;
    for (unsigned p = 0; p < 5; ++p) {
        window[p] = PageBuffer(kChunk);
        part[p].Reset(c.absent.count(p) ? SegmentSource::Absent : SegmentSource::OnDemand,
                      c.absent.count(p) ? nullptr : &members[p], 0, window[p].data(), row * kChunk);
        seg[p] = &part[p];
    }
    const JFileHandle::ExtentSet chunk{{row * kChunk, kChunk}};
    StripeOutcome sub;
    ASSERT_TRUE(ResolveRanges(3, seg, {chunk, chunk, chunk, chunk}, {}, sub, error)) << error;
    for (unsigned p = 0; p < 4; ++p)
        EXPECT_EQ(std::memcmp(part[p].At(row * kChunk), got.data() + (4 * row + p) * kChunk, kChunk), 0)
            << "position " << p << " of chunk row " << row;
    EXPECT_EQ(sub.lostRanges, out.lostRanges.Within(3 * kRun + 4 * row * kChunk, 4 * kChunk));
    EXPECT_EQ(sub.read + sub.rebuilt + sub.lost, 4 * kChunk);
    if (!c.absent.count(4)) {
        EXPECT_EQ(part[4].loaded.Within(row * kChunk, kChunk), part[4].loaded) << "the parity is read inside the row only";
        if (!degraded) {
            EXPECT_EQ(part[4].loaded, states[4].loaded.Within(row * kChunk, kChunk));
        }
    }
}

// LUN offsets of stripe 3: data position p, segment byte x lies at
// 3 x 8 MiB + (4 x (x / 128K) + p) x 128K + x % 128K.
constexpr uint64_t Lun(unsigned p, uint64_t x)
{
    return 3 * kRun + (4 * (x / kChunk) + p) * kChunk + x % kChunk;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveStripeTest,
    ::testing::Values(
        ResolveCase{"Whole", {}, {}, 0, 0, {}, {}},
        ResolveCase{"OneBadPage", {{1, {{8 * K, 4 * K}}}}, {}, 4 * K, 0, {}, {{8 * K, 4 * K}}},
        ResolveCase{"TwoMembersBadAtDifferentOffsets",
                    {{0, {{0, 4 * K}}}, {2, {{1024 * K, 4 * K}}}},
                    {},
                    8 * K,
                    0,
                    {},
                    {{0, 4 * K}, {1024 * K, 4 * K}}},
        ResolveCase{"OverlappingRangesOnTwoDataSegmentsLoseOnlyTheOverlap",
                    {{0, {{0, 16 * K}}}, {1, {{8 * K, 16 * K}}}},
                    {},
                    16 * K,
                    16 * K,
                    {{Lun(0, 8 * K), 8 * K}, {Lun(1, 8 * K), 8 * K}},
                    {{0, 8 * K}, {16 * K, 8 * K}}},
        ResolveCase{"ParityAndDataBadAtTheSameBytesLoseOnlyTheData",
                    {{3, {{64 * K, 4 * K}}}, {4, {{64 * K, 4 * K}}}},
                    {},
                    0,
                    4 * K,
                    {{Lun(3, 64 * K), 4 * K}},
                    {{64 * K, 4 * K}}},
        ResolveCase{"AMissingMemberPlusOneBadPageElsewhere",
                    {{0, {{4 * K, 4 * K}}}},
                    {2},
                    kSeg - 4 * K,
                    8 * K,
                    {{Lun(0, 4 * K), 4 * K}, {Lun(2, 4 * K), 4 * K}},
                    {}},
        ResolveCase{"ABadRangeAcrossAChunkBoundary",
                    {{1, {{124 * K, 8 * K}}}, {2, {{124 * K, 8 * K}}}},
                    {},
                    0,
                    16 * K,
                    {{Lun(1, 124 * K), 4 * K},
                     {Lun(2, 124 * K), 4 * K},
                     {Lun(1, 128 * K), 4 * K},
                     {Lun(2, 128 * K), 4 * K}},
                    {}},
        ResolveCase{"OnlyTheParityMissing", {}, {4}, 0, 0, {}, {}},
        ResolveCase{"TwoMembersMissingLoseTheirChunks", {}, {1, 3}, 0, 2 * kSeg, {}, {}},
        ResolveCase{"AnUnreadableParityLeavesTheDataByteLost",
                    {{2, {{512 * K, 4 * K}}}, {4, {{0, kSeg}}}},
                    {},
                    0,
                    4 * K,
                    {{Lun(2, 512 * K), 4 * K}},
                    {{512 * K, 4 * K}}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(AddLunRanges, FollowTheInterleave)
{
    // Segment bytes 100K..300K of position 2 in stripe 0: chunk 0 from 100K,
    // all of chunk 1, chunk 2 up to 300K.
    JFileHandle::ExtentSet out;
    AddLunRanges(0, 2, 100 * K, 200 * K, out);
    EXPECT_EQ(out.List(), (std::vector<Extent>{{2 * kChunk + 100 * K, 28 * K},
                                               {6 * kChunk, kChunk},
                                               {10 * kChunk, 300 * K - 256 * K}}));
}

} // namespace
} // namespace corvane::test
