// The sample generator is the yardstick for the analysis and export tests,
// so its images are checked here against the on-disk format directly, with
// their own decoding, never through the analysis.
#include "tools/Sample.h"

#include "TempDir.h"
#include "disk/Mapfile.h"
#include "engine/Address.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <tuple>

using namespace corvane;
using namespace corvane::sample;

namespace {

constexpr uint64_t kRaidPrimary = 0x1841800;
constexpr uint64_t kRaidSecond = 0x1C41000;

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t len)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::vector<uint8_t> buf(len);
    f.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(len));
    buf.resize(static_cast<size_t>(std::max<std::streamsize>(f.gcount(), 0)));
    return buf;
}

bool AllZero(const std::vector<uint8_t>& b)
{
    return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
}

LayoutRecord RecordAt(const uint8_t* p)
{
    LayoutRecord r;
    std::memcpy(r.raw.data(), p, r.raw.size());
    return r;
}

uint64_t BE64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}

// Resolves slots the way the array's tables say: the primary RAID copy on
// the first tagged image, disk ids from each image's first kilobyte.
class Layout {
public:
    explicit Layout(const Manifest& m)
    {
        std::map<uint8_t, std::string> byId;
        for (const auto& mem : m.members) {
            const auto ident = ReadAt(mem.path, 0, 1024);
            byId[ident.at(115)] = mem.path;
            const uint8_t tag[8] = {0, 0, 0, 1, 0, 0, 0, 5};
            if (holder.empty() && std::memcmp(ident.data() + 16, tag, 8) == 0)
                holder = mem.path;
        }
        for (unsigned row = 1;; ++row) {
            const auto rec = ReadAt(holder, kRaidPrimary + (row - 1) * 2048ULL, 2048);
            if (rec.size() < 2048 || rec[0] != 0x60 || rec[1] != 0x01)
                break;
            for (unsigned c = 0; c < 15; ++c) {
                const uint8_t* e = rec.data() + 40 + 24 * c;
                if (std::any_of(e, e + 24, [](uint8_t b) { return b != 0; }))
                    slots[{row, c}] = byId.at(e[3]);
            }
        }
    }
    // Path of the image at a position, empty when the slot has none.
    std::string PathOf(const LayoutRecord& r, unsigned p) const
    {
        auto it = slots.find({r.row(), PositionColumn(r, p)});
        return it == slots.end() ? std::string() : it->second;
    }
    std::vector<uint8_t> Segment(const LayoutRecord& r, unsigned p) const
    {
        return ReadAt(PathOf(r, p), SegmentOffset(PositionSegment(r, p)), kSegmentSize);
    }
    // The first alternative of a group that reads in full.
    std::vector<uint8_t> FirstAlternative(const LayoutRecord& r, unsigned first, unsigned count) const
    {
        for (unsigned p = first; p < first + count; ++p) {
            if (PathOf(r, p).empty())
                continue;
            auto s = Segment(r, p);
            if (s.size() == kSegmentSize)
                return s;
        }
        return {};
    }
    std::vector<LayoutRecord> IndexBlock(unsigned block) const
    {
        const auto b = ReadAt(holder, 0x600000 + block * kSegmentSize, kSegmentSize);
        std::vector<LayoutRecord> out;
        for (size_t j = 0; j + 32 <= b.size() && (b[j] == 8 || b[j] == 16); j += 32)
            out.push_back(RecordAt(b.data() + j));
        return out;
    }
    // Stripe records of the LUN behind a type-8 index record.
    std::vector<LayoutRecord> StripeRecords(const LayoutRecord& index) const
    {
        const auto header = FirstAlternative(index, 0, 4);
        if (header.size() != kSegmentSize)
            return {};
        std::vector<std::vector<uint8_t>> pieces(4, std::vector<uint8_t>(kSegmentSize));
        const LayoutRecord map1 = RecordAt(header.data() + 0x40);
        if (map1.type() == 8) {
            pieces[0] = FirstAlternative(map1, 0, 4);
            pieces[1] = FirstAlternative(map1, 4, 4);
            if (BE64(header.data() + 0x2008) * 512 / 0x40000000 > 1024) {
                const LayoutRecord map2 = RecordAt(header.data() + 0x60);
                pieces[2] = FirstAlternative(map2, 0, 4);
                pieces[3] = FirstAlternative(map2, 4, 4);
            }
        } else if (map1.type() == 16) {
            for (unsigned g = 0; g < 4; ++g)
                pieces[g] = FirstAlternative(map1, 2 * g, 2);
        } else {
            return {};
        }
        for (const auto& piece : pieces)
            if (piece.size() != kSegmentSize)
                return {};
        std::vector<uint8_t> run(kRunSize);
        const uint8_t* const pp[4] = {pieces[0].data(), pieces[1].data(), pieces[2].data(), pieces[3].data()};
        InterleaveChunks(pp, run.data());
        std::vector<LayoutRecord> out;
        for (size_t l = 0; l < kRunSize / 32 && run[l * 32] == 20; ++l)
            out.push_back(RecordAt(run.data() + l * 32));
        return out;
    }

    std::string holder;
    std::map<std::pair<unsigned, unsigned>, std::string> slots;
};

class SampleTest : public ::testing::Test {
protected:
    test::TempDir dir;
};

TEST_F(SampleTest, IdentificationBlocksCarryTagAndDiskId)
{
    GroupPlan groupPlan = HealthyGroup(6, {1});
    groupPlan.members[3].tagged = false;
    groupPlan.members[4].present = false;
    const Manifest m = Generate(groupPlan, dir.path().string());
    ASSERT_EQ(m.members.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const auto ident = ReadAt(m.members[i].path, 0, 1024);
        ASSERT_EQ(ident.size(), 1024u);
        EXPECT_EQ(ident[115], groupPlan.members[i].diskId);
        const std::vector<uint8_t> tag(ident.begin() + 16, ident.begin() + 24);
        if (i == 3)
            EXPECT_TRUE(AllZero(tag));
        else
            EXPECT_EQ(tag, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 5}));
    }
    const auto sources = m.Sources();
    ASSERT_EQ(sources.size(), 5u);
    EXPECT_EQ(std::count(sources.begin(), sources.end(), m.members[4].path), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("manifest.json")));
}

TEST_F(SampleTest, RaidTablesKeepHolesAndEmptySlots)
{
    GroupPlan groupPlan = HealthyGroup(12, {1, 1});
    ASSERT_EQ(groupPlan.rows.size(), 1u);
    groupPlan.rows.push_back({6, 7, 8, 9, 10, 11});
    groupPlan.rows[0].resize(6);
    groupPlan.primaryHoles = {{1, 2}};
    groupPlan.emptySlots = {{2, 4}};
    const Manifest m = Generate(groupPlan, dir.path().string());
    const std::string& holder = m.members[0].path;
    for (uint64_t copy : {kRaidPrimary, kRaidSecond}) {
        SCOPED_TRACE(copy);
        const auto recs = ReadAt(holder, copy, 3 * 2048);
        ASSERT_EQ(recs.size(), 3 * 2048u);
        for (unsigned r = 0; r < 2; ++r) {
            const uint8_t* rec = recs.data() + r * 2048;
            EXPECT_EQ(rec[0], 0x60);
            EXPECT_EQ(rec[1], 0x01);
            for (unsigned c = 0; c < 16; ++c) {
                const uint8_t* e = rec + 40 + 24 * c;
                const bool empty = std::all_of(e, e + 24, [](uint8_t b) { return b == 0; });
                const bool hole = (r == 0 && c == 2 && copy == kRaidPrimary) || (r == 1 && c == 4) || c >= 6;
                EXPECT_EQ(empty, hole) << "record " << r + 1 << " entry " << c;
                if (!empty) {
                    EXPECT_EQ(e[3], groupPlan.members[static_cast<size_t>(groupPlan.rows[r][c])].diskId);
                }
            }
        }
        // The record after the last one is unsigned: the run ends there.
        EXPECT_FALSE(recs[2 * 2048] == 0x60 && recs[2 * 2048 + 1] == 0x01);
    }

    test::TempDir other;
    groupPlan.writeBackupCopy = false;
    const Manifest m2 = Generate(groupPlan, other.path().string());
    EXPECT_TRUE(AllZero(ReadAt(m2.members[0].path, kRaidSecond, 2048)));
}

TEST_F(SampleTest, IndexRecordsLeadToHeadersWithTheirCapacity)
{
    GroupPlan groupPlan = HealthyGroup(7, {});
    LunPlan big;
    big.stripes = 3;
    big.capacitySectors = 1025ULL * 2097152; // 1025 GiB: two map records
    LunPlan dropped;
    dropped.indexType = 16;
    LunPlan small;
    small.stripes = 2;
    small.headerFirstAlternativeUnreadable = true;
    small.pieceFirstAlternativeUnreadable = true;
    LunPlan second;
    second.block = 1;
    second.stripes = 1;
    second.mapType = 16;
    groupPlan.luns = {big, dropped, small, second};
    const Manifest m = Generate(groupPlan, dir.path().string());

    // Type-16 index records take an id but give no LUN.
    ASSERT_EQ(m.luns.size(), 3u);
    EXPECT_EQ(std::make_pair(m.luns[0].group, m.luns[0].id), std::make_pair(0u, 0u));
    EXPECT_EQ(std::make_pair(m.luns[1].group, m.luns[1].id), std::make_pair(0u, 2u));
    EXPECT_EQ(std::make_pair(m.luns[2].group, m.luns[2].id), std::make_pair(1u, 0u));
    EXPECT_EQ(m.luns[0].sizeGiB, 1025u);
    EXPECT_EQ(m.luns[0].capacitySectors, 1025ULL * 2097152);
    EXPECT_EQ(m.luns[1].capacitySectors, 2u * 16384);
    EXPECT_EQ(m.luns[1].sizeGiB, 0u);

    const Layout layout(m);
    const auto block0 = layout.IndexBlock(0);
    ASSERT_EQ(block0.size(), 3u);
    EXPECT_EQ(block0[0].type(), 8);
    EXPECT_EQ(block0[1].type(), 16);
    EXPECT_EQ(block0[2].type(), 8);
    EXPECT_EQ(layout.IndexBlock(1).size(), 1u);
    EXPECT_TRUE(layout.IndexBlock(2).empty());

    const auto h0 = layout.FirstAlternative(block0[0], 0, 4);
    ASSERT_EQ(h0.size(), kSegmentSize);
    EXPECT_EQ(BE64(h0.data() + 0x2008), 1025ULL * 2097152);
    EXPECT_EQ(h0[0x40], 8);
    EXPECT_EQ(h0[0x60], 8);

    // The first alternative names a segment past the member's end.
    EXPECT_TRUE(layout.Segment(block0[2], 0).empty());
    const auto h2 = layout.FirstAlternative(block0[2], 0, 4);
    ASSERT_EQ(h2.size(), kSegmentSize);
    EXPECT_EQ(BE64(h2.data() + 0x2008), 2u * 16384);
    EXPECT_EQ(h2[0x60], 0); // 0 GiB: one map record
    EXPECT_TRUE(layout.Segment(RecordAt(h2.data() + 0x40), 0).empty());
    // Alternatives sit on different columns.
    EXPECT_NE(PositionColumn(block0[2], 1), PositionColumn(block0[2], 2));

    // Every type-16 group reads a header.
    for (unsigned g = 0; g < 4; ++g)
        EXPECT_EQ(layout.FirstAlternative(block0[1], 2 * g, 2).size(), kSegmentSize) << g;

    EXPECT_EQ(layout.StripeRecords(block0[0]).size(), 3u);
    EXPECT_EQ(layout.StripeRecords(block0[2]).size(), 2u);
    EXPECT_EQ(layout.StripeRecords(layout.IndexBlock(1)[0]).size(), 1u);
}

TEST_F(SampleTest, StripesHoldThePatternAndParity)
{
    const GroupPlan groupPlan = HealthyGroup(6, {3}, 42);
    const Manifest m = Generate(groupPlan, dir.path().string());
    const Layout layout(m);
    const auto stripes = layout.StripeRecords(layout.IndexBlock(0).at(0));
    ASSERT_EQ(stripes.size(), 3u);
    std::vector<uint8_t> want(kRunSize), got(kRunSize);
    for (size_t k = 0; k < stripes.size(); ++k) {
        SCOPED_TRACE(k);
        std::vector<std::vector<uint8_t>> seg;
        std::vector<unsigned> columns;
        for (unsigned p = 0; p < 5; ++p) {
            seg.push_back(layout.Segment(stripes[k], p));
            ASSERT_EQ(seg.back().size(), kSegmentSize);
            columns.push_back(PositionColumn(stripes[k], p));
        }
        std::sort(columns.begin(), columns.end());
        EXPECT_EQ(std::adjacent_find(columns.begin(), columns.end()), columns.end()) << "columns repeat";
        size_t bad = 0;
        for (size_t i = 0; i < kSegmentSize; ++i)
            bad += (seg[0][i] ^ seg[1][i] ^ seg[2][i] ^ seg[3][i] ^ seg[4][i]) != 0;
        EXPECT_EQ(bad, 0u);
        const uint8_t* const pp[4] = {seg[0].data(), seg[1].data(), seg[2].data(), seg[3].data()};
        InterleaveChunks(pp, got.data());
        LunPattern(42, 0, k * kRunSize, want.data(), want.size());
        EXPECT_TRUE(got == want);
    }
    // Parity does not sit on the same column in every stripe.
    EXPECT_NE(PositionColumn(stripes[0], 4), PositionColumn(stripes[1], 4));
}

TEST_F(SampleTest, ManifestShaMatchesTheImages)
{
    // LUN 1 holds a file's bytes: one stripe declared, grown to two, the
    // second padded with zeros.
    std::vector<uint8_t> data(kRunSize + 100);
    LunPattern(5, 0, 0, data.data(), data.size());
    test::WriteFile(dir.file("data"), data);
    GroupPlan plan = HealthyGroup(5, {2, 1}, 7);
    plan.luns[1].dataFile = dir.file("data");
    const Manifest m = Generate(plan, dir.path().string());
    ASSERT_EQ(m.luns.at(1).stripes, 2u);
    data.resize(2 * kRunSize);
    test::WriteFile(dir.file("padded"), data);
    EXPECT_EQ(m.luns[1].sha256, Sha256OfFile(dir.file("padded"), 0, data.size()));
    const Layout layout(m);
    const auto block = layout.IndexBlock(0);
    ASSERT_EQ(block.size(), m.luns.size());
    for (size_t i = 0; i < block.size(); ++i) {
        // Write the LUN out of the images, then hash the file.
        const std::string out = dir.file("lun" + std::to_string(i));
        std::ofstream f(out, std::ios::binary);
        std::vector<uint8_t> run(kRunSize);
        for (const auto& rec : layout.StripeRecords(block[i])) {
            std::vector<std::vector<uint8_t>> seg;
            for (unsigned p = 0; p < 4; ++p)
                seg.push_back(layout.Segment(rec, p));
            const uint8_t* const pp[4] = {seg[0].data(), seg[1].data(), seg[2].data(), seg[3].data()};
            InterleaveChunks(pp, run.data());
            f.write(reinterpret_cast<const char*>(run.data()), static_cast<std::streamsize>(run.size()));
        }
        f.close();
        EXPECT_EQ(std::filesystem::file_size(out), m.luns[i].bytes);
        EXPECT_EQ(Sha256OfFile(out, 0, m.luns[i].bytes), m.luns[i].sha256);
        EXPECT_EQ(m.luns[i].exportSha256, m.luns[i].sha256);
        EXPECT_TRUE(m.luns[i].zeroRanges.empty());
    }
    EXPECT_NE(m.luns[0].sha256, m.luns[1].sha256);
    EXPECT_THROW(Sha256OfFile(dir.file("lun0"), 1, m.luns[0].bytes), std::runtime_error);
}

TEST_F(SampleTest, TwoMembersLeftOutZeroTheirChunksInDamagedStripes)
{
    GroupPlan groupPlan = HealthyGroup(6, {12});
    // Neighbouring columns: some stripes then lose positions 3 and 4 only.
    groupPlan.members[1].present = false;
    groupPlan.members[2].present = false;
    const Manifest m = Generate(groupPlan, dir.path().string());
    ASSERT_EQ(m.luns.size(), 1u);
    const LunOut& lun = m.luns[0];
    const Layout layout(m);
    const auto stripes = layout.StripeRecords(layout.IndexBlock(0).at(0));
    ASSERT_EQ(stripes.size(), 12u);

    std::vector<std::pair<uint64_t, uint64_t>> want;
    uint32_t rebuilt = 0, damaged = 0;
    for (size_t k = 0; k < stripes.size(); ++k) {
        std::vector<unsigned> lost;
        for (unsigned p = 0; p < 5; ++p) {
            const std::string path = layout.PathOf(stripes[k], p);
            if (path == m.members[1].path || path == m.members[2].path)
                lost.push_back(p);
        }
        // A lost parity alone costs nothing: no data byte is rebuilt.
        rebuilt += lost.size() == 1 && lost[0] < 4;
        damaged += lost.size() >= 2;
        if (lost.size() < 2)
            continue;
        for (uint64_t c = 0; c < 16; ++c)
            for (unsigned p : lost)
                if (p < 4)
                    want.emplace_back(k * kRunSize + (4 * c + p) * kChunkSize, kChunkSize);
    }
    std::sort(want.begin(), want.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& r : want) {
        if (!merged.empty() && merged.back().first + merged.back().second == r.first)
            merged.back().second += r.second;
        else
            merged.push_back(r);
    }
    EXPECT_GT(damaged, 0u);
    EXPECT_GT(rebuilt, 0u);
    EXPECT_EQ(lun.rebuiltStripes, rebuilt);
    EXPECT_EQ(lun.damagedStripes, damaged);
    EXPECT_EQ(lun.zeroRanges, merged);
    uint64_t zeroed = 0;
    for (const auto& r : merged)
        zeroed += r.second;
    EXPECT_EQ(lun.lostBytes, zeroed);
    EXPECT_EQ(lun.rebuiltBytes, rebuilt * kSegmentSize);

    // A correct export: the intact data with exactly those ranges zeroed.
    const std::string expected = dir.file("expected");
    {
        std::vector<uint8_t> data(lun.bytes);
        LunPattern(groupPlan.seed, 0, 0, data.data(), data.size());
        for (const auto& [offset, length] : merged)
            std::fill_n(data.begin() + static_cast<long>(offset), length, uint8_t{0});
        test::WriteFile(expected, data);
    }
    EXPECT_EQ(Sha256OfFile(expected, 0, lun.bytes), lun.exportSha256);
    EXPECT_NE(lun.exportSha256, lun.sha256);
}

TEST_F(SampleTest, HighSegmentNumbersUseTheTopNibble)
{
    GroupPlan groupPlan = HealthyGroup(5, {2}, 5);
    groupPlan.firstDataSegment = 0x12340; // offsets beyond 4 GiB
    const Manifest m = Generate(groupPlan, dir.path().string());
    const Layout layout(m);
    const auto index = layout.IndexBlock(0);
    ASSERT_EQ(index.size(), 1u);
    EXPECT_GE(PositionSegment(index[0], 0), 0x12340u);
    const auto stripes = layout.StripeRecords(index[0]);
    ASSERT_EQ(stripes.size(), 2u);
    std::vector<uint8_t> got(kRunSize), want(kRunSize);
    for (size_t k = 0; k < stripes.size(); ++k) {
        std::vector<std::vector<uint8_t>> seg;
        for (unsigned p = 0; p < 4; ++p) {
            EXPECT_GE(PositionSegment(stripes[k], p), 0x12340u);
            seg.push_back(layout.Segment(stripes[k], p));
            ASSERT_EQ(seg.back().size(), kSegmentSize);
        }
        const uint8_t* const pp[4] = {seg[0].data(), seg[1].data(), seg[2].data(), seg[3].data()};
        InterleaveChunks(pp, got.data());
        LunPattern(5, 0, k * kRunSize, want.data(), want.size());
        EXPECT_TRUE(got == want) << k;
    }
    EXPECT_EQ(m.luns[0].exportSha256, m.luns[0].sha256);
}

// How table and member faults reach the expected export. Six members in one
// row, one LUN of six stripes: each stripe leaves out one column, so a slot
// lost for good costs five stripes one segment each, four of them a data
// segment rebuilt from parity (in the fifth it holds the parity). Faults in
// LUN terms are checked byte for byte: what is rebuilt, what is lost where.
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

struct SlotCase {
    const char* name;
    std::function<void(GroupPlan&)> damage;
    uint32_t rebuilt;      // stripes
    bool exportIsIntact;   // the LUN's data, but for the zero ranges
    uint64_t rebuiltBytes;
    Ranges zeroRanges;
    uint32_t damaged;      // stripes
    std::vector<uint32_t> inconsistent = {}; // stripes with stale bytes
};

void PrintTo(const SlotCase& c, std::ostream* os)
{
    *os << c.name;
}

class SampleSlots : public ::testing::TestWithParam<SlotCase> {};

// Where the LUN's faults must land, found through the images' own tables.
void ExpectFaultsPlaced(const GroupPlan& plan, const Manifest& m)
{
    const Layout layout(m);
    const LayoutRecord index = layout.IndexBlock(0).at(0);
    const auto stripes = layout.StripeRecords(index);
    std::map<std::string, JFileHandle::ExtentSet> bad, holes;
    const LunPlan& l = plan.luns[0];
    for (const StripeFault& f : l.faults) {
        if (f.kind == FaultKind::Stale)
            continue; // they read; the images' bytes are checked by the export tests
        const LayoutRecord& r = stripes.at(f.stripe);
        const uint64_t at = SegmentOffset(PositionSegment(r, f.position)) + f.offset;
        (f.kind == FaultKind::Hole ? holes : bad)[layout.PathOf(r, f.position)].Add(at, f.length);
    }
    // A partly bad alternative: the page in the middle of its segment.
    auto middlePage = [&](const LayoutRecord& r, unsigned p) {
        bad[layout.PathOf(r, p)].Add(SegmentOffset(PositionSegment(r, p)) + 0x100000, 4096);
    };
    if (l.headerFirstAlternativePartlyBad)
        middlePage(index, 0);
    if (l.pieceFirstAlternativePartlyBad) {
        const auto header = layout.FirstAlternative(index, 0, 4);
        ASSERT_EQ(header.size(), kSegmentSize);
        middlePage(RecordAt(header.data() + 0x40), 0);
        middlePage(RecordAt(header.data() + 0x40), 4);
    }
    for (const MemberOut& mo : m.members) {
        SCOPED_TRACE(mo.path);
        EXPECT_EQ(mo.unreadable, bad[mo.path]);
        EXPECT_EQ(mo.holes, holes[mo.path]);
    }
}

// The mapfiles say what the manifest says, and holes read as zeros.
void ExpectMapfiles(const Manifest& m)
{
    for (size_t i = 0; i < m.members.size(); ++i) {
        const MemberOut& mo = m.members[i];
        SCOPED_TRACE(mo.path);
        const uint64_t size = std::filesystem::file_size(mo.path);
        const std::string badPath =
            (std::filesystem::path(mo.path).parent_path() / ("member" + std::to_string(i) + ".bad.map")).string();
        for (const auto& [set, path, expectedPath] :
             {std::tuple{&mo.unreadable, mo.badMap, badPath}, std::tuple{&mo.holes, mo.imageMap, mo.path + ".map"}}) {
            if (set->Empty()) {
                EXPECT_TRUE(path.empty());
                EXPECT_FALSE(std::filesystem::exists(expectedPath));
                continue;
            }
            ASSERT_EQ(path, expectedPath);
            const auto text = test::ReadFile(path);
            JFileHandle::Mapfile map;
            std::string error;
            ASSERT_TRUE(JFileHandle::ParseMapfile(std::string(text.begin(), text.end()), map, error)) << error;
            EXPECT_EQ(map.Domain(), size);
            EXPECT_EQ(map.NotRescued(), set->Within(0, size));
        }
        for (const auto& e : mo.holes.Within(0, size))
            EXPECT_TRUE(AllZero(ReadAt(mo.path, e.offset, static_cast<size_t>(e.length)))) << e.offset;
    }
}

TEST_P(SampleSlots, ExpectedExport)
{
    test::TempDir dir;
    GroupPlan groupPlan = HealthyGroup(6, {6});
    GetParam().damage(groupPlan);
    const Manifest m = Generate(groupPlan, dir.path().string());
    ASSERT_EQ(m.luns.size(), 1u);
    const LunOut& lun = m.luns[0];
    EXPECT_EQ(lun.rebuiltStripes, GetParam().rebuilt);
    EXPECT_EQ(lun.damagedStripes, GetParam().damaged);
    EXPECT_EQ(lun.rebuiltBytes, GetParam().rebuiltBytes);
    EXPECT_EQ(lun.zeroRanges, GetParam().zeroRanges);
    uint64_t lost = 0;
    for (const auto& r : GetParam().zeroRanges)
        lost += r.second;
    EXPECT_EQ(lun.lostBytes, lost);
    EXPECT_EQ(lun.inconsistentStripes, GetParam().inconsistent);
    if (lost == 0) {
        EXPECT_EQ(lun.exportSha256 == lun.sha256, GetParam().exportIsIntact);
    } else {
        std::vector<uint8_t> data(lun.bytes);
        LunPattern(groupPlan.seed, 0, 0, data.data(), data.size());
        for (const auto& [offset, length] : GetParam().zeroRanges)
            std::fill_n(data.begin() + static_cast<long>(offset), length, uint8_t{0});
        test::WriteFile(dir.file("expected"), data);
        EXPECT_EQ(Sha256OfFile(dir.file("expected"), 0, lun.bytes) == lun.exportSha256, GetParam().exportIsIntact);
    }
    ExpectFaultsPlaced(groupPlan, m);
    ExpectMapfiles(m);
}

StripeFault Bad(uint32_t stripe, uint8_t position, uint64_t offset, uint64_t length)
{
    return {stripe, position, offset, length, FaultKind::Unreadable};
}

constexpr uint64_t kStripe = 0x800000;

INSTANTIATE_TEST_SUITE_P(
    Sample, SampleSlots,
    ::testing::Values(
        SlotCase{"Healthy", [](GroupPlan&) {}, 0, true, 0, {}, 0},
        SlotCase{"HoleFilledFromSecondCopy", [](GroupPlan& s) { s.primaryHoles = {{1, 2}}; }, 0, true, 0, {}, 0},
        SlotCase{"HoleWithoutSecondCopy",
                 [](GroupPlan& s) {
                     s.primaryHoles = {{1, 2}};
                     s.writeBackupCopy = false;
                 },
                 4, true, 4 * kSegmentSize, {}, 0},
        // The last filled entry of the primary copy ends its slots, so the
        // second copy cannot fill a hole there.
        SlotCase{"TrailingHoleNotFilled", [](GroupPlan& s) { s.primaryHoles = {{1, 5}}; }, 4, true,
                 4 * kSegmentSize, {}, 0},
        SlotCase{"EmptyInBothCopies", [](GroupPlan& s) { s.emptySlots = {{1, 3}}; }, 4, true, 4 * kSegmentSize, {},
                 0},
        SlotCase{"UntaggedMemberStillResolves", [](GroupPlan& s) { s.members[3].tagged = false; }, 0, true, 0, {},
                 0},
        SlotCase{"DiskId255HasNoCell", [](GroupPlan& s) { s.members[2].diskId = 255; }, 4, true, 4 * kSegmentSize,
                 {}, 0},
        SlotCase{"UnreadableFirstAlternatives",
                 [](GroupPlan& s) {
                     s.luns[0].headerFirstAlternativeUnreadable = true;
                     s.luns[0].pieceFirstAlternativeUnreadable = true;
                 },
                 0, true, 0, {}, 0},
        SlotCase{"PartlyBadFirstAlternatives",
                 [](GroupPlan& s) {
                     s.luns[0].headerFirstAlternativePartlyBad = true;
                     s.luns[0].pieceFirstAlternativePartlyBad = true;
                 },
                 0, true, 0, {}, 0},
        // Two members carry disk id 0: the later one answers for slot 0 and
        // gives its own bytes, which no parity can tell apart.
        SlotCase{"DuplicateDiskIdReadsTheLaterMember", [](GroupPlan& s) { s.members[5].diskId = 0; }, 0, false, 0,
                 {}, 0},
        // A spare outside the rows with disk id 0, added last: slot 0 then
        // names a member holding none of its segments.
        SlotCase{"LaterSpareWithSameDiskIdHidesTheMember",
                 [](GroupPlan& s) { s.members.push_back({0, true, true, 0, {}, {}}); }, 4, true, 4 * kSegmentSize,
                 {}, 0},
        SlotCase{"OneBadPage", [](GroupPlan& s) { s.luns[0].faults = {Bad(2, 1, 0x30000, 0x1000)}; }, 1, true,
                 0x1000, {}, 0},
        // Segment 0 bad at [0x10000, 0x13000), segment 2 at [0x11000,
        // 0x15000): the 0x2000 bytes both lack are lost in chunk 0 of each.
        SlotCase{"OverlappingBadRangesOnTwoDataSegments",
                 [](GroupPlan& s) { s.luns[0].faults = {Bad(0, 0, 0x10000, 0x3000), Bad(0, 2, 0x11000, 0x4000)}; },
                 0, true, 0x1000 + 0x2000, {{0x11000, 0x2000}, {2 * 0x20000 + 0x11000, 0x2000}}, 1},
        // Data [0x7F000, 0x82000), parity [0x80000, 0x81000): chunk 4 of
        // segment 3 (LUN chunk 19 of stripe 1) loses its first page.
        SlotCase{"ParityAndDataBadAtTheSameBytes",
                 [](GroupPlan& s) { s.luns[0].faults = {Bad(1, 3, 0x7F000, 0x3000), Bad(1, 4, 0x80000, 0x1000)}; },
                 0, true, 0x2000, {{kStripe + 19 * 0x20000, 0x1000}}, 1},
        // 64 KiB the imaging could not read, across a chunk boundary.
        SlotCase{"HoleWithItsMapfile",
                 [](GroupPlan& s) { s.luns[0].faults = {{3, 0, 0x1F000, 0x10000, FaultKind::Hole}}; }, 1, true,
                 0x10000, {}, 0},
        // Segments 1 and 2 both bad at [0x1F000, 0x21000), segment 2 also a
        // page either side: the loss is split over chunks 0 and 1 of each,
        // LUN chunks 1, 2, 5 and 6 of stripe 4.
        SlotCase{"BadRangeCrossesAChunkBoundary",
                 [](GroupPlan& s) { s.luns[0].faults = {Bad(4, 1, 0x1F000, 0x2000), Bad(4, 2, 0x1E000, 0x4000)}; },
                 0, true, 0x2000,
                 {{4 * kStripe + 1 * 0x20000 + 0x1F000, 0x1000},
                  {4 * kStripe + 2 * 0x20000 + 0x1F000, 0x1000},
                  {4 * kStripe + 5 * 0x20000, 0x1000},
                  {4 * kStripe + 6 * 0x20000, 0x1000}},
                 1},
        // Stale bytes read: a stale data segment reaches the export, stale
        // parity does not; member 2 serves stripes 1 and 4 (not 3).
        SlotCase{"StaleDataSegment",
                 [](GroupPlan& s) { s.luns[0].faults = {{2, 1, 0x1000, 0x2000, FaultKind::Stale}}; }, 0, false, 0,
                 {}, 0, {2}},
        SlotCase{"StaleParityAlone",
                 [](GroupPlan& s) { s.luns[0].faults = {{3, 4, 0, kSegmentSize, FaultKind::Stale}}; }, 0, true, 0,
                 {}, 0, {3}},
        SlotCase{"StaleMemberInChosenStripes",
                 [](GroupPlan& s) {
                     s.luns[0].staleMember = 2;
                     s.luns[0].staleStripes = {1, 3, 4};
                 },
                 0, false, 0, {}, 0, {1, 4}}),
    [](const ::testing::TestParamInfo<SlotCase>& i) { return std::string(i.param.name); });

TEST_F(SampleTest, OneMemberLeftOutIsRebuiltFromParity)
{
    GroupPlan groupPlan = HealthyGroup(6, {6});
    groupPlan.members[2].present = false;
    const Manifest m = Generate(groupPlan, dir.path().string());
    EXPECT_EQ(m.luns.at(0).rebuiltStripes, 4u); // in five of six stripes, once as parity
    EXPECT_EQ(m.luns.at(0).damagedStripes, 0u);
    EXPECT_EQ(m.luns.at(0).exportSha256, m.luns.at(0).sha256);
}

TEST_F(SampleTest, TruncatedMemberLosesTheSegmentsBeyondTheCut)
{
    GroupPlan groupPlan = HealthyGroup(5, {4});
    groupPlan.members[3].truncateAt = 65 * 1024 * 1024; // inside its first stripe segment
    const Manifest m = Generate(groupPlan, dir.path().string());
    EXPECT_EQ(std::filesystem::file_size(m.members[3].path), 65u * 1024 * 1024);
    EXPECT_EQ(m.luns.at(0).rebuiltStripes, 4u);
    EXPECT_EQ(m.luns.at(0).exportSha256, m.luns.at(0).sha256);
}

TEST(SamplePattern, SlicesAgreeAcrossWordEdges)
{
    std::vector<uint8_t> whole(64);
    LunPattern(3, 1, 1000, whole.data(), whole.size());
    for (size_t from : {0u, 1u, 7u, 8u, 13u}) {
        std::vector<uint8_t> part(64 - from - 3);
        LunPattern(3, 1, 1000 + from, part.data(), part.size());
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<long>(from))) << from;
    }
    std::vector<uint8_t> other(64);
    LunPattern(3, 2, 1000, other.data(), other.size());
    EXPECT_NE(whole, other);
    LunPattern(4, 1, 1000, other.data(), other.size());
    EXPECT_NE(whole, other);
}

struct BadPlan {
    const char* name;
    std::function<void(GroupPlan&)> damage;
};

void PrintTo(const BadPlan& c, std::ostream* os)
{
    *os << c.name;
}

class SampleRefuses : public ::testing::TestWithParam<BadPlan> {};

TEST_P(SampleRefuses, BadGroup)
{
    test::TempDir dir;
    GroupPlan groupPlan = HealthyGroup(6, {1, 1});
    GetParam().damage(groupPlan);
    // "DATA" names a 1 MiB data file written here.
    for (LunPlan& l : groupPlan.luns)
        if (l.dataFile == "DATA") {
            test::WriteFile(dir.file("data"), std::vector<uint8_t>(1 << 20, 0xA5));
            l.dataFile = dir.file("data");
        }
    EXPECT_THROW(Generate(groupPlan, dir.path().string()), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(
    Sample, SampleRefuses,
    ::testing::Values(
        BadPlan{"RowNarrowerThanAStripe", [](GroupPlan& s) { s.rows[0].resize(4); }},
        BadPlan{"RowNamesNoMember", [](GroupPlan& s) { s.rows[0][0] = 6; }},
        BadPlan{"LunOnMissingRow", [](GroupPlan& s) { s.luns[0].row = 2; }},
        BadPlan{"IndexBlockSkipped", [](GroupPlan& s) { s.luns[1].block = 2; }},
        BadPlan{"IndexBlockOverlapsTables", [](GroupPlan& s) { s.luns[1].block = 9; }},
        BadPlan{"TooManyStripesForOneMapRecord", [](GroupPlan& s) { s.luns[0].stripes = 8193; }},
        BadPlan{"BadIndexType", [](GroupPlan& s) { s.luns[0].indexType = 20; }},
        BadPlan{"HoleOutsideRows", [](GroupPlan& s) { s.primaryHoles = {{3, 0}}; }},
        BadPlan{"FaultBeyondTheLastStripe", [](GroupPlan& s) { s.luns[0].faults = {Bad(1, 0, 0, 4096)}; }},
        BadPlan{"FaultOnPosition5", [](GroupPlan& s) { s.luns[0].faults = {Bad(0, 5, 0, 4096)}; }},
        BadPlan{"FaultOutsideTheSegment", [](GroupPlan& s) { s.luns[0].faults = {Bad(0, 1, kSegmentSize, 1)}; }},
        BadPlan{"EmptyFault", [](GroupPlan& s) { s.luns[0].faults = {Bad(0, 1, 0, 0)}; }},
        BadPlan{"StaleBytesPastTheSegment",
                [](GroupPlan& s) { s.luns[0].faults = {{0, 1, kSegmentSize - 1, 2, FaultKind::Stale}}; }},
        BadPlan{"StaleMemberThatIsNone", [](GroupPlan& s) { s.luns[0].staleMember = 6; }},
        BadPlan{"FaultInALunWithoutStripes",
                [](GroupPlan& s) {
                    s.luns[0].mapType = 0;
                    s.luns[0].faults = {Bad(0, 1, 0, 4096)};
                }},
        BadPlan{"DataFileAboveTheDeclaredCapacity",
                [](GroupPlan& s) {
                    s.luns[0].capacitySectors = 1024;
                    s.luns[0].dataFile = "DATA";
                }},
        BadPlan{"DataFileInALunWithoutStripes",
                [](GroupPlan& s) {
                    s.luns[1].mapType = 0;
                    s.luns[1].dataFile = "DATA";
                }},
        BadPlan{"DataFileMissing", [](GroupPlan& s) { s.luns[0].dataFile = "/nonexistent/lun.bin"; }},
        BadPlan{"FirstAlternativeBothUnreadableAndPartlyBad",
                [](GroupPlan& s) {
                    s.luns[1].pieceFirstAlternativeUnreadable = true;
                    s.luns[1].pieceFirstAlternativePartlyBad = true;
                }}),
    [](const ::testing::TestParamInfo<BadPlan>& i) { return std::string(i.param.name); });

TEST(SampleJson, ReadsEveryField)
{
    const GroupPlan s = PlanFromJson(R"({
        "seed": 9,
        "members": [{"diskId": 4}, {"diskId": 5, "tagged": false}, {"diskId": 6, "present": false},
                    {"diskId": 7, "truncateAt": 4096}, {"diskId": 8, "unreadable": [[8192, 4096], [0, 512]],
                    "holes": [[1048576, 65536]]}],
        "rows": [[0, 1, 2, 3, 4]],
        "luns": [{"stripes": 2, "capacitySectors": 100, "indexType": 16, "mapType": 0, "row": 1, "block": 0,
                  "headerFirstAlternativeUnreadable": true, "pieceFirstAlternativeUnreadable": true},
                 {"headerFirstAlternativePartlyBad": true, "pieceFirstAlternativePartlyBad": true, "dataFile": "d.bin",
                  "faults": [{"stripe": 1, "position": 4, "offset": 8192, "length": 4096, "kind": "hole"},
                             {"offset": 5, "length": 7}, {"length": 9, "kind": "stale"}],
                  "staleMember": 3, "staleStripes": [1]}],
        "primaryHoles": [{"row": 1, "column": 2}],
        "emptySlots": [{"row": 1, "column": 3}],
        "writeBackupCopy": false})");
    EXPECT_EQ(s.seed, 9u);
    ASSERT_EQ(s.members.size(), 5u);
    EXPECT_EQ(s.members[0].diskId, 4);
    EXPECT_FALSE(s.members[1].tagged);
    EXPECT_FALSE(s.members[2].present);
    EXPECT_EQ(s.members[3].truncateAt, 4096u);
    EXPECT_EQ(s.members[4].unreadable, (JFileHandle::ExtentSet{{0, 512}, {8192, 4096}}));
    EXPECT_EQ(s.members[4].holes, (JFileHandle::ExtentSet{{1048576, 65536}}));
    EXPECT_TRUE(s.members[0].unreadable.Empty());
    ASSERT_EQ(s.luns.size(), 2u);
    EXPECT_FALSE(s.luns[0].headerFirstAlternativePartlyBad);
    EXPECT_TRUE(s.luns[1].headerFirstAlternativePartlyBad);
    EXPECT_TRUE(s.luns[1].pieceFirstAlternativePartlyBad);
    EXPECT_EQ(s.luns[1].dataFile, "d.bin");
    EXPECT_EQ(s.luns[0].dataFile, "");
    ASSERT_EQ(s.luns[1].faults.size(), 3u);
    EXPECT_EQ(s.luns[1].faults[2].kind, FaultKind::Stale);
    EXPECT_EQ(std::pair(s.luns[1].staleMember, s.luns[1].staleStripes), std::pair(3, std::vector<uint32_t>{1}));
    EXPECT_EQ(s.luns[0].staleMember, -1);
    const StripeFault& f = s.luns[1].faults[0];
    EXPECT_EQ(std::tuple(f.stripe, f.position, f.offset, f.length, f.kind),
              std::tuple(1u, uint8_t{4}, 8192u, 4096u, FaultKind::Hole));
    const StripeFault& g = s.luns[1].faults[1];
    EXPECT_EQ(std::tuple(g.stripe, g.position, g.offset, g.length, g.kind),
              std::tuple(0u, uint8_t{0}, 5u, 7u, FaultKind::Unreadable));
    EXPECT_EQ(s.luns[0].stripes, 2u);
    EXPECT_EQ(s.luns[0].capacitySectors, 100u);
    EXPECT_EQ(s.luns[0].indexType, 16);
    EXPECT_EQ(s.luns[0].mapType, 0);
    EXPECT_TRUE(s.luns[0].headerFirstAlternativeUnreadable);
    EXPECT_TRUE(s.luns[0].pieceFirstAlternativeUnreadable);
    ASSERT_EQ(s.primaryHoles.size(), 1u);
    EXPECT_EQ(s.primaryHoles[0].column, 2);
    ASSERT_EQ(s.emptySlots.size(), 1u);
    EXPECT_EQ(s.emptySlots[0].column, 3);
    EXPECT_FALSE(s.writeBackupCopy);

    const GroupPlan h = PlanFromJson(R"({"healthy": {"members": 7, "lunStripes": [1, 2]}, "seed": 3})");
    EXPECT_EQ(h.members.size(), 7u);
    EXPECT_EQ(h.luns.size(), 2u);
    EXPECT_EQ(h.seed, 3u);
}

TEST(SampleJson, RefusesMistakes)
{
    for (const char* text : {"{", "[]", R"({"member": []})", R"({"luns": [{"stripe": 1}]})",
                             R"({"members": [{"diskId": 256}]})", R"({"seed": "x"})",
                             R"({"luns": [{"row": -1}]})", R"({"members": [{"unreadable": [[5, 0]]}]})",
                             R"({"members": [{"holes": [[5]]}]})", R"({"members": [{"holes": [[-1, 5]]}]})",
                             R"({"members": [{"unreadable": [[1, 18446744073709551615]]}]})",
                             R"({"luns": [{"faults": [{"kind": "bad"}]}]})",
                             R"({"luns": [{"faults": [{"stripes": 1}]}]})", R"({"luns": [{"faults": {}}]})"})
        EXPECT_THROW(PlanFromJson(text), std::runtime_error) << text;
}

} // namespace
