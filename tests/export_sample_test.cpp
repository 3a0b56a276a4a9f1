// Exports of generated disk groups, analysed as a user would, checked byte
// for byte against what the generator knows the LUN holds, with the damage
// the export reports matched against the generator's own model.
#include "TempDir.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export_fakes.h"
#include "tools/Sample.h"

#include <gtest/gtest.h>

namespace corvane::test {
namespace {

using sample::GroupSpec;
using sample::LunOut;
using sample::Manifest;

class SampleExport : public ::testing::Test {
protected:
    TempDir dir;
    EvaContext ctx;
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

    void Analyse(const GroupSpec& spec)
    {
        manifest = sample::Generate(spec, dir.file("group"));
        for (const auto& m : manifest.members)
            fingerprints.push_back(Fingerprint(m.path));
        for (const auto& s : manifest.Sources())
            ctx.sources.push_back({s});
        const AnalysisResult r = RunAnalysis(ctx);
        ASSERT_TRUE(r.ok()) << r.text << " " << r.reason;
        ASSERT_EQ(ctx.lunList.size(), manifest.luns.size());
    }

    const LunEntry& Lun(size_t i) const { return *ctx.lunList[i]; }

    ExportReport ExportTo(size_t lun, const std::string& path, uint64_t start = 0)
    {
        OpenExportTarget(ctx, path, start, Lun(lun).CoveredBytes());
        ExportControl c;
        c.console = nullptr;
        const std::set<int> before = TaskIds();
        ExportReport rep = ExportLun(ctx, Lun(lun).stripeRecords, start, nullptr, nullptr, c);
        EXPECT_EQ(TaskIdsSettled(before), before);
        return rep;
    }

    // The report against the generator's model of the export.
    static void ExpectDamageAsModelled(const ExportReport& rep, const LunOut& want)
    {
        EXPECT_TRUE(rep.Finished());
        EXPECT_EQ(rep.written, want.stripes);
        EXPECT_EQ(rep.rebuilt, want.rebuiltStripes);
        EXPECT_EQ(rep.damaged, want.damagedStripes);
        EXPECT_EQ(rep.complete, want.stripes - want.rebuiltStripes - want.damagedStripes);
        std::vector<ByteRange> zeros;
        for (const auto& [offset, length] : want.zeroRanges)
            zeros.push_back({offset, length});
        EXPECT_EQ(rep.zeroRanges, zeros);
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
    GroupSpec spec = sample::HealthyGroup(6, {24});
    spec.members[3].present = false;
    Analyse(spec);
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportTo(0, out);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    ASSERT_GT(manifest.luns[0].rebuiltStripes, 0u);
    ExpectDamageAsModelled(rep, manifest.luns[0]);
}

TEST_F(SampleExport, StripesMissingTwoSegmentsAreZeroFilledWhereTheGeometrySaysAndReported)
{
    GroupSpec spec = sample::HealthyGroup(6, {24});
    spec.members[2].present = false;
    spec.members[4].present = false;
    Analyse(spec);
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportTo(0, out);
    ASSERT_GT(manifest.luns[0].damagedStripes, 0u);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].exportSha256);
    ExpectDamageAsModelled(rep, manifest.luns[0]);
    // The reported ranges really are zeros on the target.
    for (const ByteRange& z : rep.zeroRanges)
        EXPECT_EQ(ReadRange(out, z.offset, z.length), std::vector<uint8_t>(z.length, 0));
}

TEST_F(SampleExport, AMemberCutShortInsideTheLunIsRebuiltOrZeroFilledNeverStale)
{
    GroupSpec spec = sample::HealthyGroup(5, {30});
    // Cut member 3 halfway through some segment above the tables.
    spec.members[3].truncateAt = (uint64_t{spec.firstDataSegment} + 11) * kSeg + kSeg / 2 + 4096;
    spec.members[1].present = false; // so a stripe can also lose two segments
    Analyse(spec);
    const std::string out = dir.file("lun.img");
    const ExportReport rep = ExportTo(0, out);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].exportSha256);
    ASSERT_GT(manifest.luns[0].damagedStripes, 0u);
    ExpectDamageAsModelled(rep, manifest.luns[0]);
}

TEST_F(SampleExport, ALunWithoutStripeRecordsExportsNothing)
{
    GroupSpec spec = sample::HealthyGroup(5, {2, 1});
    spec.luns[1].mapType = 0;
    Analyse(spec);
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

} // namespace
} // namespace corvane::test
