// Building one stripe from its five segments: the interleave, a single
// missing segment rebuilt from parity, and two or more missing segments
// leaving exactly their chunks as zeros.
#include "export/Export.h"
#include "export/StripeWriter.h"
#include "export_fakes.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace corvane::test {
namespace {

enum class Loss { Unread, NoReader };

struct AssembleCase {
    const char* name;
    std::set<unsigned> missing;
    Loss loss;
    std::set<unsigned> zeroData; // data positions whose chunks must be zero
    uint8_t missingPosition;
};

class AssembleStripeTest : public ::testing::TestWithParam<AssembleCase> {
protected:
    void SetUp() override
    {
        std::vector<uint8_t> parity(kSeg, 0);
        for (unsigned p = 0; p < 5; ++p) {
            segs[p] = std::make_unique<SegmentSlot>();
            if (p < 4) {
                FillSegment(7, 100 + p, segs[p]->data.data());
                XorInto(parity.data(), segs[p]->data.data(), kSeg);
            } else {
                std::memcpy(segs[p]->data.data(), parity.data(), kSeg);
            }
            segs[p]->readOk = 1;
        }
        intact.resize(kRun);
        Interleave({segs[0]->data.data(), segs[1]->data.data(), segs[2]->data.data(), segs[3]->data.data()},
                   intact.data());
        original.resize(kSeg);
    }

    // Applies the case: lost segments are unread (their buffers full of an
    // earlier segment's bytes) or have no reader.
    void Apply(const AssembleCase& c, StripeSlot& slot)
    {
        for (unsigned p = 0; p < 5; ++p) {
            slot.sources[p] = segs[p].get();
            if (!c.missing.count(p))
                continue;
            std::memset(segs[p]->data.data(), 0xEE, kSeg); // stale bytes must never show
            if (c.loss == Loss::Unread)
                segs[p]->readOk = 0;
            else
                slot.sources[p] = nullptr;
        }
    }

    std::vector<uint8_t> Expected(const AssembleCase& c) const
    {
        std::vector<uint8_t> out = intact;
        for (uint64_t k = 0; k < kRun / kChunk; ++k)
            if (c.zeroData.count(static_cast<unsigned>(k % 4)))
                std::memset(out.data() + k * kChunk, 0, kChunk);
        return out;
    }

    std::unique_ptr<SegmentSlot> segs[5];
    std::vector<uint8_t> intact, original;
};

TEST_P(AssembleStripeTest, OutputMatchesGeometry)
{
    const AssembleCase& c = GetParam();
    auto slot = std::make_unique<StripeSlot>();
    std::memset(slot->gathered.data(), 0x5A, 5 * kSeg); // leftovers of an earlier stripe
    Apply(c, *slot);
    AssembleStripe(*slot, true);
    EXPECT_EQ(slot->missingCount, c.missing.size());
    if (!c.missing.empty()) {
        EXPECT_EQ(slot->missingPosition, c.missingPosition);
    }
    EXPECT_TRUE(slot->interleaved);
    EXPECT_TRUE(std::memcmp(slot->output.data(), Expected(c).data(), kRun) == 0);
}

TEST_P(AssembleStripeTest, PiecesForTheGatheringWriteMatchToo)
{
    const AssembleCase& c = GetParam();
    auto slot = std::make_unique<StripeSlot>();
    std::memset(slot->gathered.data(), 0x5A, 5 * kSeg);
    std::memset(slot->output.data(), 0x33, kRun);
    Apply(c, *slot);
    AssembleStripe(*slot, false);
    EXPECT_FALSE(slot->interleaved);
    std::vector<uint8_t> out(kRun);
    Interleave({slot->pieces[0], slot->pieces[1], slot->pieces[2], slot->pieces[3]}, out.data());
    EXPECT_TRUE(out == Expected(c));
}

INSTANTIATE_TEST_SUITE_P(
    Stripes, AssembleStripeTest,
    ::testing::Values(AssembleCase{"FiveGood", {}, Loss::Unread, {}, 0},
                      AssembleCase{"Position2Unread", {2}, Loss::Unread, {}, 2},
                      AssembleCase{"Position0WithoutReader", {0}, Loss::NoReader, {}, 0},
                      AssembleCase{"OnlyParityMissing", {4}, Loss::Unread, {}, 4},
                      AssembleCase{"Positions1And3Missing", {1, 3}, Loss::Unread, {1, 3}, 3},
                      AssembleCase{"ParityAndPosition0Missing", {0, 4}, Loss::NoReader, {0}, 4},
                      AssembleCase{"ThreeMissing", {0, 1, 2}, Loss::Unread, {0, 1, 2}, 2},
                      AssembleCase{"NoMemberOfTheRow", {0, 1, 2, 3, 4}, Loss::NoReader, {0, 1, 2, 3}, 4}),
    [](const ::testing::TestParamInfo<AssembleCase>& row) { return std::string(row.param.name); });

TEST(RebuildMissingSegment, RebuildsTheSegmentAsTheXorOfTheOtherFour)
{
    auto slot = std::make_unique<StripeSlot>();
    std::unique_ptr<SegmentSlot> segs[5];
    std::vector<uint8_t> lost(kSeg);
    std::vector<uint8_t> parity(kSeg, 0);
    for (unsigned p = 0; p < 5; ++p) {
        segs[p] = std::make_unique<SegmentSlot>();
        if (p < 4) {
            FillSegment(3, p, segs[p]->data.data());
            XorInto(parity.data(), segs[p]->data.data(), kSeg);
        } else {
            std::memcpy(segs[p]->data.data(), parity.data(), kSeg);
        }
        segs[p]->readOk = 1;
        slot->sources[p] = segs[p].get();
    }
    std::memcpy(lost.data(), segs[1]->data.data(), kSeg);
    segs[1]->readOk = 0;
    AssembleStripe(*slot, true);
    EXPECT_TRUE(std::memcmp(slot->gathered.data() + kSeg, lost.data(), kSeg) == 0);

    // With two missing nothing is rebuilt.
    slot->missingCount = 2;
    std::memset(slot->gathered.data() + kSeg, 0, kSeg);
    RebuildMissingSegment(*slot);
    EXPECT_EQ(slot->gathered.data()[kSeg + 12345], 0);
}

struct ZeroCase {
    const char* name;
    uint8_t mask;
    size_t ranges;
    uint64_t firstOffset;
    uint64_t firstLength;
};

class ZeroRangesTest : public ::testing::TestWithParam<ZeroCase> {};

TEST_P(ZeroRangesTest, RangesFollowTheInterleave)
{
    const ZeroCase& c = GetParam();
    const uint64_t k = 3;
    const auto ranges = ZeroRangesOfStripe(k, c.mask);
    ASSERT_EQ(ranges.size(), c.ranges);
    uint64_t total = 0;
    for (const auto& r : ranges) {
        EXPECT_GE(r.offset, k * kRun);
        EXPECT_LE(r.offset + r.length, (k + 1) * kRun);
        total += r.length;
    }
    if (!ranges.empty()) {
        EXPECT_EQ(ranges.front().offset, k * kRun + c.firstOffset);
        EXPECT_EQ(ranges.front().length, c.firstLength);
        const unsigned dataLost = static_cast<unsigned>(__builtin_popcount(c.mask & 0x0F));
        EXPECT_EQ(total, dataLost * kSeg);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Masks, ZeroRangesTest,
    ::testing::Values(ZeroCase{"NoneMissing", 0x00, 0, 0, 0}, ZeroCase{"OneDataMissing", 0x04, 0, 0, 0},
                      ZeroCase{"OnlyParity", 0x10, 0, 0, 0},
                      ZeroCase{"Positions1And3", 0x0A, 32, kChunk, kChunk},
                      ZeroCase{"Positions1And2Merge", 0x06, 16, kChunk, 2 * kChunk},
                      ZeroCase{"Positions3And0MergeAcrossGroups", 0x09, 17, 0, kChunk},
                      ZeroCase{"ParityAndPosition0", 0x11, 16, 0, kChunk},
                      ZeroCase{"AllData", 0x0F, 1, 0, kRun}),
    [](const ::testing::TestParamInfo<ZeroCase>& row) { return std::string(row.param.name); });

} // namespace
} // namespace corvane::test
