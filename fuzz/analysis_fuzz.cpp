// libFuzzer target: the analysis on a small in-memory disk group whose
// metadata the input patches. A healthy group is built first (tables,
// index, headers, second indexes), then the input overwrites bytes at the
// metadata places, cuts members short and plants failing reads or seeks.
// Whatever it does, the analysis must end with a LUN list or one of its
// error codes, never a crash or a sanitizer report.
//
// Input: a run of patches, each [target, offset hi, offset lo, length,
// bytes...]. target % 5 picks the member, target / 5 % 10 the region.
#include "tests/analysis_fakes.h"

#include "engine/Address.h"
#include "engine/Context.h"
#include "engine/Errors.h"
#include "engine/Report.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr int kMembers = 5;
constexpr uint64_t kGiBSectors = 1ULL << 21;

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

MiniGroup BaseGroup()
{
    MiniGroup g{kMembers, true};
    g.DefaultRow();
    g.Row(2, {14, 13, 12, 11, 10});
    g.IndexRecord(0, 0, g.PutLun(kGiBSectors * 3, 6));
    g.IndexRecord(0, 1, g.PutLun(kGiBSectors * 1100, 9)); // two map records
    g.IndexRecord(0, 2, g.PutLun(kGiBSectors * 2, 4, 16));
    std::array<Pos, 8> pos;
    for (unsigned p = 0; p < 8; ++p)
        pos[p] = {static_cast<uint8_t>(p % kMembers), 40};
    g.IndexRecord(0, 3, MakeRecord(16, 1, pos));
    g.IndexRecord(1, 0, g.PutLun(kGiBSectors * 5, 2));
    return g;
}

void Apply(MiniGroup& g, const uint8_t* data, size_t size)
{
    size_t at = 0;
    while (at + 4 <= size) {
        const unsigned target = data[at];
        const uint64_t off = static_cast<uint64_t>(data[at + 1]) << 8 | data[at + 2];
        size_t len = data[at + 3];
        at += 4;
        len = std::min(len, size - at);
        const uint8_t* bytes = data + at;
        at += len;
        MemoryDisk& d = *g.disks[target % kMembers];
        // Headers and pieces lie in segments 40.. on every member.
        const uint64_t seg = (40 + (off >> 10) % 40) * kSegmentSize;
        switch (target / kMembers % 10) {
        case 0: d.Put(off % 1024, bytes, len); break;                       // identification block
        case 1: d.Put(kRaidPrimaryAt + off % (8 * 2048), bytes, len); break; // primary RAID copy
        case 2: d.Put(kRaidSecondAt + off % (8 * 2048), bytes, len); break;  // second RAID copy
        case 3: d.Put(kIndexAt + off % 1024, bytes, len); break;            // index block 0
        case 4: d.Put(kIndexAt + kSegmentSize + off % 1024, bytes, len); break; // index block 1
        case 5: d.Put(seg + 0x2008 - 0x100 + (off & 0x1FF), bytes, len); break; // around a capacity
        case 6: d.Put(seg + (off & 0x3FF), bytes, len); break;              // map records, stripe records
        case 7: {                                                           // cut the member short
            uint64_t v = 0;
            for (size_t i = 0; i < len && i < 4; ++i)
                v = v << 8 | bytes[i];
            d.Resize(v * 4096 % MiniGroup::kDiskSize);
            break;
        }
        case 8: d.FailReads(off * 4096 % MiniGroup::kDiskSize, 1 + len); break;
        default: d.FailSeeksTo(off % 128 * kSegmentSize); break;
        }
    }
}

void CheckResult(const EvaContext& ctx)
{
    for (int c = 0; c < kColumns; ++c)
        Check(ctx.memberMap[0][static_cast<size_t>(c)] == nullptr);
    for (const auto& row : ctx.memberMap)
        for (const MemberDisk* m : row) {
            bool known = m == nullptr;
            for (const auto& member : ctx.members)
                known = known || member.get() == m;
            Check(known);
        }
    for (const auto& lun : ctx.lunList) {
        Check(lun->stripeRecords.size() <= kRunSize / 32);
        Check(lun->sizeGiB == lun->capacitySectors >> 21);
        Check(lun->mapRecords.size() == (lun->sizeGiB > 1024 ? 2u : 1u));
        Check(lun->group < ctx.blockList.size() && lun->id < ctx.blockList[lun->group].size());
    }
    for (const SourceWarning& w : ctx.warnings)
        Check(w.member < ctx.members.size() && (w.other == SourceWarning::kNone || w.other < ctx.members.size()));
    const AnalysisSummary s = Summarize(ctx);
    for (const LunSummary& l : s.luns)
        Check(!LunLine(l).empty());
}

// After a discovery that filled the map, every source in no slot is warned of.
void CheckEveryUnusedSourceWarned(const EvaContext& ctx)
{
    const AnalysisSummary s = Summarize(ctx);
    for (size_t i = 0; i < s.members.size(); ++i) {
        bool warned = false;
        for (const SourceWarning& w : s.warnings)
            warned = warned || w.member == i;
        Check(s.members[i].slots > 0 || warned);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MiniGroup g = BaseGroup();
    Apply(g, data, size);
    EvaContext ctx;
    g.Install(ctx);
    try {
        ctx.DiscoverFromMembers();
        ctx.BuildLunLayout();
    } catch (const EvaError& e) {
        const int code = e.code();
        Check(code == kNoRaidInfo || code == kNoRaidInfo2 || code == kSeriousDamage || code == kReadFailed ||
              code == kSeekFailed || code == kSecondIndexFailed);
        Check(std::strcmp(e.what(), std::to_string(code).c_str()) == 0);
        CheckResult(ctx);
        return 0;
    }
    Check(!ctx.lunList.empty());
    CheckResult(ctx);
    CheckEveryUnusedSourceWarned(ctx);
    return 0;
}
