// Bad sectors in the metadata, as a drive gives them: members served with
// real EIO (NbdMember) where the generated group plants unreadable pages.
// The analysis must complete with the generated LUN list where every
// needed byte reads in some copy, and fail with its code where none does.
#include "NbdMember.h"
#include "TempDir.h"

#include "engine/Analysis.h"
#include "engine/Context.h"
#include "engine/Errors.h"
#include "tools/Sample.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <memory>

using namespace corvane;
using corvane::sample::Manifest;
// What the generator is asked to write: members, rows, LUNs and faults.
using Plan = decltype(sample::HealthyGroup(0, {}));

namespace {

constexpr uint64_t kIndexAt = 0x600000;

// Where position p of a 32-byte layout record lies: the member holding its
// slot (through the group's rows) and its byte offset on that member.
struct Place {
    size_t member;
    uint64_t offset;
};

std::array<uint8_t, 32> RecordAt(const std::string& image, uint64_t offset)
{
    std::array<uint8_t, 32> r{};
    std::ifstream f(image, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(reinterpret_cast<char*>(r.data()), r.size());
    return r;
}

Place PlaceOf(const Plan& plan, const std::array<uint8_t, 32>& r, unsigned p)
{
    const unsigned column = r[5 + p] & 0x0F;
    const uint64_t segment = (static_cast<uint64_t>(r[5 + p] >> 4) << 16) | (r[14 + 2 * p] << 8) | r[15 + 2 * p];
    return {static_cast<size_t>(plan.rows.at(r[1] - 1).at(column)), segment * 0x200000};
}

// The four copies of LUN 0's header and of its first second-index piece,
// as the generator placed them (the tables and index are on member 0).
struct Copies {
    std::array<Place, 4> header;
    std::array<Place, 4> piece;
};

Copies CopiesOfFirstLun(const Plan& plan, const Manifest& m)
{
    Copies c{};
    const auto index = RecordAt(m.members[0].path, kIndexAt);
    for (unsigned p = 0; p < 4; ++p)
        c.header[p] = PlaceOf(plan, index, p);
    const auto map = RecordAt(m.members[c.header[0].member].path, c.header[0].offset + 0x40);
    for (unsigned p = 0; p < 4; ++p)
        c.piece[p] = PlaceOf(plan, map, p);
    return c;
}

struct NbdFaultRow {
    const char* name;
    // Plants unreadable pages in plan, given where LUN 0's copies lie.
    void (*damage)(Plan& plan, const Copies& copies);
    int code;
    std::vector<const char*> says; // each in a note (code 0) or in the error's reason
};
// Named rows keep test names readable.
inline void PrintTo(const NbdFaultRow& r, std::ostream* os) { *os << r.name; }

class NbdMetadataFaults : public ::testing::TestWithParam<NbdFaultRow> {};

void BadPage(Plan& plan, const Place& at, uint64_t within)
{
    plan.members[at.member].unreadable.Add(at.offset + within, 4096);
}

} // namespace

TEST_P(NbdMetadataFaults, CompleteWhereEveryNeededByteReadsInSomeCopy)
{
    if (!test::NbdMember::Available())
        GTEST_SKIP() << test::NbdMember::Unavailable();
    test::TempDir dir;
    Plan plan = sample::HealthyGroup(6, {2, 1});
    // Faults do not move anything: a first group tells where the copies are.
    const Copies copies = CopiesOfFirstLun(plan, sample::Generate(plan, dir.file("plain")));
    GetParam().damage(plan, copies);
    const Manifest m = sample::Generate(plan, dir.file("bad"));

    EvaContext ctx;
    std::vector<std::unique_ptr<test::NbdMember>> served;
    for (size_t i = 0; i < m.members.size(); ++i) {
        if (m.members[i].badMap.empty()) {
            ctx.sources.push_back({m.members[i].path});
            continue;
        }
        served.push_back(std::make_unique<test::NbdMember>(m.members[i].path, m.members[i].badMap,
                                                           test::NbdMemberOptions{.mountDir = dir.file(
                                                                                      "mnt" + std::to_string(i))}));
        ctx.sources.push_back({served.back()->Path()});
    }
    ASSERT_FALSE(served.empty());
    const AnalysisResult r = RunAnalysis(ctx);
    std::string said = r.reason;
    for (const std::string& n : ctx.notes)
        said += "\n" + n;
    ASSERT_EQ(r.code, GetParam().code) << r.text << "\n" << said;
    if (r.ok()) {
        ASSERT_EQ(ctx.lunList.size(), m.luns.size());
        for (size_t i = 0; i < m.luns.size(); ++i) {
            EXPECT_EQ(ctx.lunList[i]->group, m.luns[i].group) << i;
            EXPECT_EQ(ctx.lunList[i]->id, m.luns[i].id) << i;
            EXPECT_EQ(ctx.lunList[i]->sizeGiB, m.luns[i].sizeGiB) << i;
            EXPECT_EQ(ctx.lunList[i]->stripeRecords.size(), m.luns[i].stripes) << i;
        }
        EXPECT_TRUE(ctx.missingSlots.empty());
    }
    for (const char* part : GetParam().says)
        EXPECT_NE(said.find(part), std::string::npos) << "wanted: " << part << "\ngot: " << said;
}

INSTANTIATE_TEST_SUITE_P(
    Analysis, NbdMetadataFaults,
    ::testing::Values(
        NbdFaultRow{"HeaderAndPieceCopiesEachBadAtADifferentPage",
                    [](Plan& plan, const Copies& c) {
                        const uint64_t header[4] = {0, 0x2000, 0x100000, 0x1FF000};
                        const uint64_t piece[4] = {0, 0x1000, 0x100000, 0x1FF000};
                        for (unsigned k = 0; k < 4; ++k) {
                            BadPage(plan, c.header[k], header[k]);
                            BadPage(plan, c.piece[k], piece[k]);
                        }
                    },
                    0,
                    {"the header of LUN index record 0 of block 0: no copy reads whole",
                     "a second-index piece of the LUN at group 0, id 0 (positions 0-3): no copy reads whole",
                     "(+4096) do not read (Input/output error)", "it is put together byte by byte"}},
        // Member 0 holds one RAID record in each copy, the index in one block.
        NbdFaultRow{"SecondRaidCopyIndexTailAndTheRecordAfterTheLast",
                    [](Plan& plan, const Copies&) {
                        auto& bad = plan.members[0].unreadable;
                        bad.Add(0x1C41000, 4096); // second copy, records 1 and 2
                        bad.Add(0x1842000, 4096); // primary record 2, which ends the run
                        bad.Add(kIndexAt + 0x10000, 4096);
                    },
                    0,
                    {"record 1 of the second RAID information copy cannot be read at 0x1c41000 (+2048): "
                     "Input/output error; the second copy only fills empty entries of the primary one and is left "
                     "unused",
                     "the record after record 1 of the primary RAID information copy cannot be read at 0x1842000 "
                     "(+2048): Input/output error, and the second copy shows no record at 0x1c41800 (0x1c41800 "
                     "(+2048): Input/output error); the run ends after record 1"}},
        NbdFaultRow{"HeaderCapacityInNoCopy",
                    [](Plan& plan, const Copies& c) {
                        for (const Place& p : c.header)
                            BadPage(plan, p, 0x2000);
                    },
                    kSeriousDamage, {"bytes 0x2008 (+8) of it read in no copy"}}),
    [](const auto& p) { return std::string(p.param.name); });
