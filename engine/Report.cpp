#include "engine/Report.h"

#include "disk/Text.h"

#include <unordered_map>

namespace corvane {

AnalysisSummary Summarize(const EvaContext& ctx)
{
    AnalysisSummary s;
    std::unordered_map<const MemberDisk*, size_t> place;
    for (size_t i = 0; i < ctx.members.size(); ++i) {
        const MemberDisk& m = *ctx.members[i];
        place[&m] = i;
        MemberSummary ms;
        ms.source = JFileHandle::NarrowToUtf8(m.source);
        ms.diskId = m.diskId;
        ms.tagged = m.HasMemberTag();
        ms.identified = m.identified;
        // An identified member that diskById does not name lost its id to
        // another source (ids outside the table name no member at all).
        ms.replacedByDuplicate = m.identified && m.diskId < kDiskIds && ctx.diskById[m.diskId] != &m &&
                                 ctx.diskById[m.diskId] != nullptr;
        s.members.push_back(std::move(ms));
    }
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            const MemberDisk* m = ctx.memberMap[static_cast<size_t>(r)][static_cast<size_t>(c)];
            if (!m)
                continue;
            const auto it = place.find(m);
            if (it == place.end())
                continue; // cannot happen: the map only names members
            s.memberMap.push_back({static_cast<uint8_t>(r), static_cast<uint8_t>(c), it->second, m->diskId});
            ++s.members[it->second].slots;
        }
    }
    for (const EvaContext::ExcludedCell& c : ctx.excluded) {
        const auto it = place.find(c.member);
        if (it == place.end())
            continue;
        s.excluded.push_back({c.slot.row, c.slot.column, it->second, c.member->diskId});
        s.members[it->second].excluded = true;
    }
    s.missingSlots = ctx.missingSlots;
    // The entry of the primary copy, or where that is empty the second
    // copy's (which filled it).
    auto entryId = [&](const SlotKey& k) {
        for (const auto* copy : {&ctx.raidInfo, &ctx.raidInfoBackup})
            for (const auto& record : *copy)
                if (record->number == k.row && k.column < record->entries.size() &&
                    !record->entries[k.column].Empty())
                    return static_cast<int>(record->entries[k.column].DiskId());
        return -1;
    };
    for (const SlotKey& k : ctx.missingSlots)
        s.missingDiskIds.push_back(entryId(k));
    for (const auto& lun : ctx.lunList) {
        LunSummary l;
        l.group = lun->group;
        l.id = lun->id;
        l.sizeGiB = lun->sizeGiB;
        l.capacitySectors = lun->capacitySectors;
        l.stripes = lun->stripeRecords.size();
        l.coveredBytes = lun->CoveredBytes();
        l.declaredBytes = lun->DeclaredBytes();
        l.shortCoverage = lun->ShortCoverage();
        s.luns.push_back(l);
    }
    s.notes = ctx.notes;
    s.warnings = ctx.warnings;
    return s;
}

std::string SizeText(uint64_t sizeGiB)
{
    return std::to_string(sizeGiB) + "G";
}

std::string LunLine(const LunSummary& lun)
{
    std::string line = std::to_string(lun.group) + "\t" + std::to_string(lun.id) + "\t" + SizeText(lun.sizeGiB);
    if (lun.shortCoverage)
        line += "\tshort coverage: " + std::to_string(lun.coveredBytes) + " of " + std::to_string(lun.declaredBytes) +
                " bytes";
    return line;
}

} // namespace corvane
