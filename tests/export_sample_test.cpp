// Exports of generated disk groups, analysed as a user would, checked byte
// for byte against what the generator knows the LUN holds, with the damage
// the export reports matched against the generator's own model. Members
// with bad sectors are served by a double that fails them, or with real
// EIO through nbdkit and nbdfuse (the RealEio tests, labelled nbd).
#include "NbdMember.h"
#include "TempDir.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"
#include "engine/Exclude.h"
#include "export/Export.h"
#include "export/LunReader.h"
#include "export/RescueMap.h"
#include "export_fakes.h"
#include "tools/Sample.h"

#include <gtest/gtest.h>

namespace corvane::test {
namespace {

using sample::GroupPlan;
using sample::LunOut;
using sample::Manifest;

// How the members' bad sectors reach the export.
enum class BadSectors {
    Double,  // FaultyIO around each member that has some
    RealEio, // nbdkit's ddrescue filter behind nbdfuse: the kernel's EIO
};

// LUN byte ranges that bytes [from, from + length) of data position p of
// stripe k carry: chunk c of a segment is LUN chunk 4c + p of the stripe.
JFileHandle::ExtentSet LunBytesOf(uint64_t k, unsigned p, uint64_t from, uint64_t length)
{
    JFileHandle::ExtentSet out;
    for (uint64_t x = from; x < from + length;) {
        const uint64_t c = x / kChunk, end = std::min(from + length, (c + 1) * kChunk);
        out.Add(k * kRun + (4 * c + p) * kChunk + x % kChunk, end - x);
        x = end;
    }
    return out;
}

class SampleExport : public ::testing::Test {
protected:
    TempDir dir;
    // Members served with real read errors: declared before the context,
    // so its members are closed before the mounts go.
    std::vector<std::unique_ptr<NbdMember>> served;
    EvaContext ctx;
    std::vector<FaultyIO*> doubles; // the members' doubles, owned by ctx
    GroupPlan plan;
    Manifest manifest;
    std::vector<uint64_t> fingerprints;

    void SetUp() override
    {
        WarmUpThreads();
        AttachExportState(ctx);
    }

    void TearDown() override
    {
        for (size_t i = 0; i < manifest.members.size(); ++i)
            EXPECT_EQ(Fingerprint(manifest.members[i].path), fingerprints[i])
                << manifest.members[i].path << " was changed";
    }

    // Generates the group and analyses its present members, each imaged
    // member with its mapfile unless imagingMaps is false.
    void Analyse(const GroupPlan& group, BadSectors bad = BadSectors::Double, bool imagingMaps = true)
    {
        plan = group;
        manifest = sample::Generate(plan, dir.file("group"));
        for (const auto& m : manifest.members)
            fingerprints.push_back(Fingerprint(m.path));
        std::vector<const sample::MemberOut*> present;
        bool anyBad = false;
        for (size_t i = 0; i < manifest.members.size(); ++i) {
            const sample::MemberOut& m = manifest.members[i];
            if (!m.present)
                continue;
            present.push_back(&m);
            SourceEntry source{m.path, imagingMaps ? m.imageMap : std::string()};
            anyBad = anyBad || !m.unreadable.Empty();
            if (!m.unreadable.Empty() && bad == BadSectors::RealEio) {
                served.push_back(std::make_unique<NbdMember>(
                    m.path, m.badMap, NbdMemberOptions{.mountDir = dir.file("mnt" + std::to_string(i))}));
                source.path = served.back()->Path();
            }
            ctx.sources.push_back(source);
        }
        if (!anyBad || bad == BadSectors::RealEio) {
            const AnalysisResult r = RunAnalysis(ctx);
            ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
        } else {
            // The analysis opens sources by path: members with bad sectors
            // are opened here, behind the double, as discovery would.
            for (size_t i = 0; i < present.size(); ++i) {
                auto m = std::make_unique<MemberDisk>();
                ASSERT_TRUE(m->OpenSource(ctx.sources[i].path)) << m->problem;
                if (!present[i]->unreadable.Empty()) {
                    auto faulty = std::make_unique<FaultyIO>(std::move(m->io));
                    faulty->bad = present[i]->unreadable;
                    doubles.push_back(faulty.get());
                    m->io = std::move(faulty);
                }
                std::string error, note;
                if (!ctx.sources[i].mapfile.empty()) {
                    ASSERT_TRUE(m->UseImagingMap(ctx.sources[i].mapfile, error, note)) << error;
                }
                m->policy = ctx.readPolicy;
                m->Identify();
                ctx.members.push_back(std::move(m));
            }
            try {
                ctx.DiscoverFromMembers();
                ctx.BuildLunLayout();
            } catch (const EvaError& e) {
                FAIL() << "analysis failed: " << e.code() << " " << e.reason();
            }
        }
        ASSERT_EQ(ctx.lunList.size(), manifest.luns.size());
    }

    const LunEntry& Lun(size_t i) const { return *ctx.lunList[i]; }

    // Exports LUN lun to path; an export that fails is a test failure
    // naming the code and the reason, with the report so far returned.
    ExportReport ExportTo(size_t lun, const std::string& path, uint64_t start = 0, ExportProgressFn progress = nullptr,
                          void* user = nullptr)
    {
        OpenExportTarget(ctx, path, start, Lun(lun).CoveredBytes());
        ExportReport rep;
        ExportControl c;
        c.console = nullptr;
        c.report = &rep;
        const std::set<int> before = TaskIds();
        try {
            rep = ExportLun(ctx, Lun(lun).stripeRecords, start, progress, user, c);
        } catch (const EvaError& e) {
            ADD_FAILURE() << "export failed: " << e.code() << " " << e.reason();
        }
        EXPECT_EQ(TaskIdsSettled(before), before);
        return rep;
    }

    // The rescue map an export report makes: '-' exactly at the lost
    // ranges, '+' everywhere else.
    static void ExpectRescueMap(const ExportReport& rep, uint64_t bytes,
                                const std::vector<std::pair<uint64_t, uint64_t>>& lost)
    {
        RescueMap map(bytes);
        ApplyReport(map, rep);
        std::vector<std::pair<uint64_t, uint64_t>> dashes;
        for (const MapSpan& s : map.Spans()) {
            if (s.status == '-')
                dashes.emplace_back(s.pos, s.size);
            else
                EXPECT_EQ(s.status, '+') << "at " << s.pos;
        }
        EXPECT_EQ(dashes, lost);
        EXPECT_EQ(map.Total('+') + map.Total('-'), bytes);
    }

    // The report against the generator's model of the export.
    static void ExpectDamageAsModelled(const ExportReport& rep, const LunOut& want)
    {
        EXPECT_TRUE(rep.Finished());
        EXPECT_EQ(rep.written, want.stripes);
        EXPECT_EQ(rep.rebuilt, want.rebuiltStripes);
        EXPECT_EQ(rep.damaged, want.damagedStripes);
        EXPECT_EQ(rep.complete, want.stripes - want.rebuiltStripes - want.damagedStripes);
        EXPECT_EQ(rep.bytesLost, want.lostBytes);
        EXPECT_EQ(rep.bytesRebuilt, want.rebuiltBytes);
        EXPECT_EQ(rep.bytesRead + rep.bytesRebuilt + rep.bytesLost, want.bytes);
        std::vector<ByteRange> zeros;
        for (const auto& [offset, length] : want.zeroRanges)
            zeros.push_back({offset, length});
        EXPECT_EQ(rep.zeroRanges, zeros);
        ExpectRescueMap(rep, want.bytes, want.zeroRanges);
    }

    // The target holds LUN lun as generated, except zeros at the reported
    // lost ranges: compared stripe by stripe.
    void ExpectIntactBesideTheLostRanges(const std::string& target, size_t lun, const ExportReport& rep) const
    {
        JFileHandle::ExtentSet lost;
        for (const ByteRange& z : rep.zeroRanges)
            lost.Add(z.offset, z.length);
        std::vector<uint8_t> want(kRun);
        for (uint64_t k = 0; k < manifest.luns[lun].stripes; ++k) {
            sample::LunPattern(plan.seed, lun, k * kRun, want.data(), want.size());
            for (const auto& e : lost.Within(k * kRun, kRun))
                std::memset(want.data() + (e.offset - k * kRun), 0, e.length);
            EXPECT_TRUE(ReadRange(target, k * kRun, kRun) == want) << "stripe " << k;
        }
    }

    // The range reader gives the bytes the export wrote and calls lost
    // exactly what the export zero-filled: the LUN read by three threads at
    // once in pieces that straddle chunks and stripes, then again (the
    // cache serves what it holds, lost chunks are assembled anew), and by
    // a reader with no thread of its own and no cache.
    void ExpectReaderMatchesExport(size_t lun, const std::string& exported, const ExportReport& rep)
    {
        LunReader::Options options;
        options.cacheBytes = 4 << 20;
        LunReader cached(ctx, Lun(lun), options);
        options.cacheBytes = 0;
        options.threads = 1;
        LunReader alone(ctx, Lun(lun), options);
        const uint64_t size = cached.Size();
        ASSERT_EQ(size, Lun(lun).CoveredBytes());
        const std::vector<uint8_t> want = ReadRange(exported, 0, size);
        constexpr uint64_t kPiece = 3 * kChunk + 4096 + 512;
        constexpr unsigned kThreads = 3;
        for (int pass = 0; pass < 3; ++pass) {
            LunReader& reader = pass < 2 ? cached : alone;
            std::vector<uint8_t> got(size, 0xEE);
            std::array<JFileHandle::ExtentSet, kThreads> lost;
            std::array<std::string, kThreads> errors;
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < kThreads; ++t)
                threads.emplace_back([&, t] {
                    for (uint64_t at = t * kPiece; at < size; at += kThreads * kPiece) {
                        const LunReadResult r = reader.Read(at, got.data() + at, std::min(kPiece, size - at));
                        if (!r.ok)
                            errors[t] = r.error;
                        lost[t].Add(r.lost);
                    }
                });
            for (std::thread& th : threads)
                th.join();
            JFileHandle::ExtentSet all;
            for (unsigned t = 0; t < kThreads; ++t) {
                EXPECT_EQ(errors[t], "") << "pass " << pass;
                all.Add(lost[t]);
            }
            EXPECT_TRUE(got == want) << "pass " << pass << ": the reader's bytes differ from the export's";
            std::vector<ByteRange> ranges;
            for (const JFileHandle::Extent& e : all)
                ranges.push_back({e.offset, e.length});
            EXPECT_EQ(ranges, rep.zeroRanges) << "pass " << pass;
        }
        EXPECT_GT(cached.Stats().cacheHits, 0u);
        EXPECT_EQ(alone.Stats().cacheHits, 0u);
        std::vector<uint8_t> byte(1);
        EXPECT_FALSE(cached.Read(size, byte.data(), 1).ok) << "a byte past the end";
    }
};

TEST_F(SampleExport, HealthyGroupExportsEveryLunByteForByte)
{
    Analyse(sample::HealthyGroup(5, {3, 45}));
    for (size_t i = 0; i < manifest.luns.size(); ++i) {
        const std::string out = dir.file("lun" + std::to_string(i) + ".img");
        const ExportReport rep = ExportTo(i, out);
        EXPECT_EQ(FileSize(out), manifest.luns[i].bytes);
        EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[i].bytes), manifest.luns[i].sha256) << "LUN " << i;
        ExpectDamageAsModelled(rep, manifest.luns[i]);
        EXPECT_EQ(rep.complete, manifest.luns[i].stripes);
    }
}

TEST_F(SampleExport, OneMemberMissingIsRebuiltFromParity)
{
    GroupPlan groupPlan = sample::HealthyGroup(6, {24});
    groupPlan.members[3].present = false;
    Analyse(groupPlan);
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportTo(0, out);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    ASSERT_GT(manifest.luns[0].rebuiltStripes, 0u);
    ExpectDamageAsModelled(rep, manifest.luns[0]);
    ExpectReaderMatchesExport(0, out, rep);
}

TEST_F(SampleExport, StripesMissingTwoSegmentsAreZeroFilledWhereTheGeometrySaysAndReported)
{
    GroupPlan groupPlan = sample::HealthyGroup(6, {24});
    groupPlan.members[2].present = false;
    groupPlan.members[4].present = false;
    Analyse(groupPlan);
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportTo(0, out);
    ASSERT_GT(manifest.luns[0].damagedStripes, 0u);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].exportSha256);
    ExpectDamageAsModelled(rep, manifest.luns[0]);
    // The reported ranges really are zeros on the target.
    for (const ByteRange& z : rep.zeroRanges)
        EXPECT_EQ(ReadRange(out, z.offset, z.length), std::vector<uint8_t>(z.length, 0));
    ExpectReaderMatchesExport(0, out, rep);
}

TEST_F(SampleExport, AMemberCutShortInsideTheLunIsRebuiltOrZeroFilledNeverStale)
{
    GroupPlan groupPlan = sample::HealthyGroup(5, {30});
    // Cut member 3 halfway through some segment above the tables.
    groupPlan.members[3].truncateAt = (uint64_t{groupPlan.firstDataSegment} + 11) * kSeg + kSeg / 2 + 4096;
    groupPlan.members[1].present = false; // so a stripe can also lose two segments
    Analyse(groupPlan);
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportTo(0, out);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].exportSha256);
    ASSERT_GT(manifest.luns[0].damagedStripes, 0u);
    ExpectDamageAsModelled(rep, manifest.luns[0]);
    ExpectReaderMatchesExport(0, out, rep);
}

TEST_F(SampleExport, ALunWithoutStripeRecordsExportsNothing)
{
    GroupPlan groupPlan = sample::HealthyGroup(5, {2, 1});
    groupPlan.luns[1].mapType = 0;
    Analyse(groupPlan);
    ASSERT_TRUE(Lun(1).stripeRecords.empty());
    const std::string out = dir.file("empty.img");
    const ExportReport rep = ExportTo(1, out);
    EXPECT_EQ(FileSize(out), 0u);
    EXPECT_EQ(rep.stripes, 0u);
    EXPECT_TRUE(rep.Finished());
}

TEST_F(SampleExport, StartOffsetOnALargerExistingTargetKeepsItsOtherBytes)
{
    Analyse(sample::HealthyGroup(5, {4}));
    const std::string out = dir.file("disk.img");
    const uint64_t start = 2049 * 512;
    const uint64_t bytes = manifest.luns[0].bytes;
    const uint64_t size = start + bytes + 3 * 1048576;
    WriteFile(out, std::vector<uint8_t>(size, 0xAB));
    ExportTo(0, out, start);
    EXPECT_EQ(FileSize(out), size);
    EXPECT_EQ(sample::Sha256OfFile(out, start, bytes), manifest.luns[0].sha256);
    EXPECT_EQ(ReadRange(out, 0, start), std::vector<uint8_t>(start, 0xAB));
    EXPECT_EQ(ReadRange(out, start + bytes, size - start - bytes), std::vector<uint8_t>(size - start - bytes, 0xAB));
}

TEST_F(SampleExport, ExportsOneAfterAnotherInOneContext)
{
    Analyse(sample::HealthyGroup(7, {21, 5}));
    const std::string a = dir.file("a.img"), b = dir.file("b.img"), c = dir.file("c.img");
    ExportTo(0, a);
    ExportTo(1, b);
    ExportTo(0, c);
    EXPECT_EQ(sample::Sha256OfFile(a, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    EXPECT_EQ(sample::Sha256OfFile(b, 0, manifest.luns[1].bytes), manifest.luns[1].sha256);
    EXPECT_EQ(sample::Sha256OfFile(c, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
}

TEST_F(SampleExport, ANewAnalysisAfterAnExportDropsTheOldReaders)
{
    Analyse(sample::HealthyGroup(5, {3}));
    ExportTo(0, dir.file("a.img"));
    // The analysis closes the members the last export's readers point at.
    ASSERT_TRUE(RunAnalysis(ctx).ok());
    const std::string out = dir.file("b.img");
    ExportTo(0, out);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
}

TEST_F(SampleExport, AnExportOntoOneOfItsSourcesIsRefusedBeforeAnythingIsWritten)
{
    Analyse(sample::HealthyGroup(5, {2}));
    for (const auto& src : manifest.Sources()) {
        try {
            OpenExportTarget(ctx, src, 0, Lun(0).CoveredBytes());
            ADD_FAILURE() << src << " was accepted as a target";
        } catch (const EvaError& e) {
            EXPECT_EQ(e.code(), kOpenDeviceFailed);
            EXPECT_NE(e.reason().find(src), std::string::npos) << e.reason();
        }
    }
    ExportControl c;
    c.console = nullptr;
    try {
        ExportLun(ctx, Lun(0).stripeRecords, 0, nullptr, nullptr, c);
        ADD_FAILURE() << "exported without a target";
    } catch (const EvaError& e) {
        EXPECT_EQ(e.code(), kOpenDeviceFailed);
    }
}


// --- Members with bad sectors and holes ----------------------------------

struct FaultRow {
    const char* name;
    std::function<void(GroupPlan&)> plant; // on HealthyGroup(5, {2})
    // The least possible loss and the bytes parity must rebuild, worked
    // out by hand from the faults (so a row is what its name says).
    uint64_t lost = 0;
    uint64_t rebuilt = 0;
    // false: the images with holes are given without their mapfiles.
    bool imagingMaps = true;
};

// Rows print as their names in gtest's messages.
void PrintTo(const FaultRow& row, std::ostream* os)
{
    *os << row.name;
}

void Fault(GroupPlan& g, uint32_t stripe, uint8_t position, uint64_t offset, uint64_t length,
           sample::FaultKind kind = sample::FaultKind::Unreadable)
{
    g.luns[0].faults.push_back({stripe, position, offset, length, kind});
}

// Two holes of 64 KiB, on the members of data positions 0 and 3 of stripe
// 1, overlapping by 32 KiB (the second crosses a chunk boundary).
void TwoHoles(GroupPlan& g)
{
    Fault(g, 1, 0, 0x30000, 0x10000, sample::FaultKind::Hole);
    Fault(g, 1, 3, 0x38000, 0x10000, sample::FaultKind::Hole);
}

class FaultedExport : public SampleExport, public ::testing::WithParamInterface<FaultRow> {
protected:
    void Run(BadSectors bad)
    {
        const FaultRow& row = GetParam();
        GroupPlan g = sample::HealthyGroup(5, {2});
        row.plant(g);
        ASSERT_NO_FATAL_FAILURE(Analyse(g, bad, row.imagingMaps));
        const LunOut& want = manifest.luns[0];
        ASSERT_EQ(want.lostBytes, row.lost) << "the generator's least possible loss";
        ASSERT_EQ(want.rebuiltBytes, row.rebuilt);
        ASSERT_EQ(Lun(0).stripeRecords.size(), want.stripes);

        const std::string out = dir.file("lun.img");
        const ExportReport rep = ExportTo(0, out);
        // Each member with bad sectors had a read fail on them.
        for (const FaultyIO* d : doubles)
            EXPECT_GT(d->badReads.load(), 0) << d->OpenedPath();
        RecordProperty("bytesLost", std::to_string(rep.bytesLost));
        RecordProperty("leastPossibleLoss", std::to_string(want.lostBytes));
        RecordProperty("bytesRebuilt", std::to_string(rep.bytesRebuilt));
        const std::string got = sample::Sha256OfFile(out, 0, want.bytes);
        ExpectReaderMatchesExport(0, out, rep);
        if (row.imagingMaps) {
            EXPECT_EQ(got, want.exportSha256);
            ExpectDamageAsModelled(rep, want);
            return;
        }
        // Without its map an image's fill is data: nothing is rebuilt or
        // reported, and the holes reach the target as zeros.
        EXPECT_NE(got, want.exportSha256);
        EXPECT_TRUE(rep.Finished());
        EXPECT_EQ(rep.bytesRebuilt, 0u);
        EXPECT_EQ(rep.bytesLost, 0u);
        EXPECT_TRUE(rep.zeroRanges.empty());
        ExpectRescueMap(rep, want.bytes, {});
        for (const sample::StripeFault& f : plan.luns[0].faults)
            for (const auto& e : LunBytesOf(f.stripe, f.position, f.offset, f.length)) {
                std::vector<uint8_t> intact(e.length);
                sample::LunPattern(plan.seed, 0, e.offset, intact.data(), intact.size());
                EXPECT_EQ(ReadRange(out, e.offset, e.length), std::vector<uint8_t>(e.length, 0));
                EXPECT_NE(intact, std::vector<uint8_t>(e.length, 0));
            }
    }
};

TEST_P(FaultedExport, LosesOnlyWhatParityCannotRebuild)
{
    Run(BadSectors::Double);
}

const FaultRow kFaultRows[] = {
    {"OneBadPage", [](GroupPlan& g) { Fault(g, 1, 2, 0x40000, 0x1000); }, 0, 0x1000},
    {"TwoMembersBadAtDifferentOffsets",
     [](GroupPlan& g) {
         Fault(g, 0, 0, 0x10000, 0x1000);
         Fault(g, 0, 3, 0x90000, 0x1000);
     },
     0, 0x2000},
    // Overlap [0x22000, 0x23000): lost on both segments, the rest rebuilt.
    {"OverlappingRangesOnTwoDataSegments",
     [](GroupPlan& g) {
         Fault(g, 1, 1, 0x20000, 0x3000);
         Fault(g, 1, 2, 0x22000, 0x3000);
     },
     0x2000, 0x4000},
    // The parity's bad range covers the data's and more: only data counts.
    {"ParityAndDataBadAtTheSameBytes",
     [](GroupPlan& g) {
         Fault(g, 0, 4, 0x4F000, 0x4000);
         Fault(g, 0, 1, 0x50000, 0x2000);
     },
     0x2000, 0},
    // Member 3 is data position 3 of stripe 0 and 2 of stripe 1: the page
    // of position 0 and the same page of position 2 are lost, the rest of
    // member 3 rebuilt.
    {"AMissingMemberPlusOneBadPageElsewhere",
     [](GroupPlan& g) {
         g.members[3].present = false;
         Fault(g, 1, 0, 0x60000, 0x1000);
     },
     0x2000, 2 * kSeg - 0x1000},
    // [0x1E000, 0x22000) of position 2 and [0x1F000, 0x21000) of the
    // parity: the loss falls in two chunks, so two LUN ranges.
    {"ABadRangeAcrossAChunkBoundary",
     [](GroupPlan& g) {
         Fault(g, 0, 2, 0x1E000, 0x4000);
         Fault(g, 0, 4, 0x1F000, 0x2000);
     },
     0x2000, 0x2000},
    {"FirstAlternativesOfHeaderAndSecondIndexPiecePartlyBad",
     [](GroupPlan& g) {
         g.luns[0].headerFirstAlternativePartlyBad = true;
         g.luns[0].pieceFirstAlternativePartlyBad = true;
     },
     0, 0},
    {"AnImagedMemberWithHolesAndItsMapfile", TwoHoles, 0x10000, 0x10000},
    {"WithoutItsMapfileAnImagesHolesAreTakenAsData", TwoHoles, 0x10000, 0x10000, false},
};

INSTANTIATE_TEST_SUITE_P(Rows, FaultedExport, ::testing::ValuesIn(kFaultRows),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Parity audit ----------------------------------------------------------

// Eight members in one row, 12 stripes: stripe k takes columns k .. k + 4
// (mod 8), so each member serves 5 of every 8 stripes and only a stale
// member is in every stripe it spoils.
struct AuditRow {
    const char* name;
    std::function<void(GroupPlan&)> damage;
    int exclude;     // member left out with ExcludeSources (-1: none)
    int stale;       // the member verify must name (-1: none)
    uint32_t unverifiable;
};

class ParityAudit : public SampleExport, public ::testing::WithParamInterface<AuditRow> {};

TEST_P(ParityAudit, FindsTheStaleMemberAndExcludingItRebuildsTheCurrentData)
{
    const AuditRow& row = GetParam();
    GroupPlan g = sample::HealthyGroup(8, {12});
    row.damage(g);
    Analyse(g);
    if (row.exclude >= 0) {
        std::string error;
        ASSERT_TRUE(ExcludeSources(ctx, {manifest.members[static_cast<size_t>(row.exclude)].path}, error)) << error;
    }
    const LunOut& want = manifest.luns[0];
    ExportControl c;
    c.console = nullptr;
    c.verifyParity = true;
    c.writeTarget = false;
    const ParityReport p = ExportLun(ctx, Lun(0).stripeRecords, 0, nullptr, nullptr, c).parity;
    const uint32_t inconsistent = row.exclude >= 0 ? 0 : static_cast<uint32_t>(want.inconsistentStripes.size());
    EXPECT_EQ(std::tuple(p.Stripes(), p.inconsistent, p.unverifiable), std::tuple(12u, inconsistent, row.unverifiable));
    // Every byte of an inconsistent stripe's data is in the ranges here.
    uint64_t ranged = 0;
    for (const ByteRange& r : p.inconsistentRanges)
        ranged += r.length;
    EXPECT_EQ(ranged, row.stale >= 0 ? inconsistent * kRun : p.inconsistentBlocks * 4 * kParityBlock);
    if (row.stale >= 0) {
        const std::string& stale = manifest.members[static_cast<size_t>(row.stale)].path;
        EXPECT_EQ(p.shared, std::vector<std::string>{stale});
        for (const ParityReport::Source& s : p.sources) {
            if (s.source == stale)
                EXPECT_EQ(std::pair(s.stripes, s.inconsistent), std::pair(inconsistent, inconsistent));
            else
                EXPECT_LT(s.inconsistent, inconsistent) << s.source;
        }
    } else if (inconsistent > 0) {
        EXPECT_TRUE(p.shared.empty());
    }

    // An export that checks parity as it goes finds the same, and with the
    // stale member left out writes the current data.
    c.writeTarget = true;
    const std::string out = dir.file("out.img");
    OpenExportTarget(ctx, out, 0, want.bytes);
    const ExportReport rep = ExportLun(ctx, Lun(0).stripeRecords, 0, nullptr, nullptr, c);
    EXPECT_EQ(rep.parity.inconsistent, inconsistent);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, want.bytes), row.exclude >= 0 ? want.sha256 : want.exportSha256);
}

const AuditRow kAuditRows[] = {
    {"AStaleMemberIsNamed", [](GroupPlan& g) { g.luns[0].staleMember = 5; }, -1, 5, 0},
    {"ExcludingTheStaleMemberGivesTheCurrentData", [](GroupPlan& g) { g.luns[0].staleMember = 5; }, 5, -1, 8},
    // Stripes 0, 3 and 6 share no member.
    {"StaleParityAloneNamesNoMember",
     [](GroupPlan& g) {
         for (uint32_t k : {0u, 3u, 6u})
             g.luns[0].faults.push_back({k, 4, 0x3000, 0x1000, sample::FaultKind::Stale});
     },
     -1, -1, 0},
    {"ADegradedStripeIsUnverifiable", [](GroupPlan& g) { g.members[2].present = false; }, -1, -1, 8},
    {"ABadPageLeavesItsStripeUnverifiable", [](GroupPlan& g) { Fault(g, 1, 2, 0x40000, 0x1000); }, -1, -1, 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, ParityAudit, ::testing::ValuesIn(kAuditRows),
                         [](const auto& p) { return std::string(p.param.name); });

// --- The same with real EIO ------------------------------------------------

class FaultedExportRealEio : public FaultedExport {};

TEST_P(FaultedExportRealEio, LosesOnlyWhatParityCannotRebuild)
{
    if (!NbdMember::Available())
        GTEST_SKIP() << NbdMember::Unavailable();
    Run(BadSectors::RealEio);
}

std::vector<FaultRow> RealEioRows()
{
    std::vector<FaultRow> out;
    for (const FaultRow& r : kFaultRows)
        for (const char* name : {"TwoMembersBadAtDifferentOffsets", "OverlappingRangesOnTwoDataSegments",
                                 "FirstAlternativesOfHeaderAndSecondIndexPiecePartlyBad"})
            if (std::string(r.name) == name)
                out.push_back(r);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultedExportRealEio, ::testing::ValuesIn(RealEioRows()),
                         [](const auto& p) { return std::string(p.param.name); });

// A member whose server dies while the export reads it: the export thread
// kills it before stripe kVanishAt, while the member, capped at 48 Mbit/s
// (a third of a second a segment), is still a few segments ahead at most.
class SampleExportRealEio : public SampleExport {
protected:
    static constexpr int32_t kVanishAt = 4;
    static constexpr uint32_t kStripes = 16;
    static constexpr size_t kVanishing = 2;

    struct Vanishing {
        NbdMember* member = nullptr;
        int32_t seenTotal = 0;
    };

    static int VanishAtStripe(int32_t total, int32_t done, void* user)
    {
        auto* v = static_cast<Vanishing*>(user);
        v->seenTotal = total;
        if (done == kVanishAt)
            v->member->Vanish();
        return 0;
    }

    // Analyses the group with member kVanishing served (all its bytes
    // readable) through nbdkit, and exports its LUN while it vanishes.
    ExportReport ExportWhileAMemberVanishes(const GroupPlan& group, const std::string& out)
    {
        plan = group;
        manifest = sample::Generate(plan, dir.file("group"));
        for (const auto& m : manifest.members)
            fingerprints.push_back(Fingerprint(m.path));
        const sample::MemberOut& v = manifest.members[kVanishing];
        const std::string map = dir.file("vanishing.map");
        WriteFile(map, [&] {
            const std::string t = "0x0  +  1\n0x0  " + std::to_string(FileSize(v.path)) + "  +\n";
            return std::vector<uint8_t>(t.begin(), t.end());
        }());
        served.push_back(std::make_unique<NbdMember>(
            v.path, map, NbdMemberOptions{.rateBitsPerSecond = 48'000'000, .mountDir = dir.file("mnt")}));
        for (const auto& m : manifest.members)
            if (m.present)
                ctx.sources.push_back({&m == &v ? served.back()->Path() : m.path});
        const AnalysisResult r = RunAnalysis(ctx);
        EXPECT_TRUE(r.ok()) << r.text << " " << r.reason;
        if (!r.ok() || ctx.lunList.size() != 1)
            return {};
        Vanishing vanishing{served.back().get()};
        const ExportReport rep = ExportTo(0, out, 0, VanishAtStripe, &vanishing);
        EXPECT_EQ(served.back()->ServerPid(), 0) << "the member never vanished";
        EXPECT_EQ(vanishing.seenTotal, static_cast<int32_t>(kStripes));
        return rep;
    }

    // The dead server's mount goes with its NbdMember, like any other.
    void ExpectUnmountedOnceClosed()
    {
        ctx.ResetAnalysis(); // closes the members
        served.clear();
        std::error_code ec;
        EXPECT_FALSE(NbdMember::IsMountPoint(dir.file("mnt")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("mnt"), ec)) << ec.message();
        EXPECT_FALSE(ec) << ec.message();
    }
};

TEST_F(SampleExportRealEio, AMemberThatVanishesMidExportIsRebuiltFromParity)
{
    if (!NbdMember::Available())
        GTEST_SKIP() << NbdMember::Unavailable();
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportWhileAMemberVanishes(sample::HealthyGroup(5, {kStripes}), out);
    EXPECT_TRUE(rep.Finished());
    EXPECT_EQ(rep.bytesLost, 0u);
    EXPECT_TRUE(rep.zeroRanges.empty());
    // The stripes before the vanish read whole, some after it needed parity.
    EXPECT_GE(rep.complete, static_cast<uint32_t>(kVanishAt));
    EXPECT_GT(rep.rebuilt, 0u);
    EXPECT_GT(rep.bytesRebuilt, 0u);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    ExpectRescueMap(rep, manifest.luns[0].bytes, {});
    RecordProperty("bytesRebuilt", std::to_string(rep.bytesRebuilt));
    // Read again with the member gone: every byte of it rebuilt.
    ExpectReaderMatchesExport(0, out, rep);
    ExpectUnmountedOnceClosed();
}

TEST_F(SampleExportRealEio, AMissingMemberAndOneThatVanishesLoseExactlyWhatIsReported)
{
    if (!NbdMember::Available())
        GTEST_SKIP() << NbdMember::Unavailable();
    GroupPlan g = sample::HealthyGroup(5, {kStripes});
    g.members[4].present = false;
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportWhileAMemberVanishes(g, out);
    EXPECT_TRUE(rep.Finished());
    ASSERT_FALSE(rep.zeroRanges.empty());
    // Before the vanish parity covered the missing member.
    EXPECT_GE(rep.zeroRanges.front().offset, kVanishAt * kRun);
    // Stripe 0 lacks only its parity (on the missing member): complete, not
    // rebuilt. Whether a stripe after the vanish still reads depends on how
    // far the vanishing member's reader got, so it is not counted on.
    EXPECT_GE(rep.rebuilt + rep.complete, static_cast<uint32_t>(kVanishAt));
    EXPECT_GE(rep.rebuilt, static_cast<uint32_t>(kVanishAt - 1));
    EXPECT_GT(rep.damaged, 0u);
    uint64_t total = 0;
    for (const ByteRange& z : rep.zeroRanges)
        total += z.length;
    EXPECT_EQ(rep.bytesLost, total);
    EXPECT_EQ(rep.bytesRead + rep.bytesRebuilt + rep.bytesLost, manifest.luns[0].bytes);
    std::vector<std::pair<uint64_t, uint64_t>> lost;
    for (const ByteRange& z : rep.zeroRanges)
        lost.emplace_back(z.offset, z.length);
    ExpectRescueMap(rep, manifest.luns[0].bytes, lost);
    ExpectIntactBesideTheLostRanges(out, 0, rep);
    RecordProperty("bytesLost", std::to_string(rep.bytesLost));
    RecordProperty("bytesRebuilt", std::to_string(rep.bytesRebuilt));
    ExpectUnmountedOnceClosed();
}

} // namespace
} // namespace corvane::test
