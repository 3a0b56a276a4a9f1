#include "engine/Exclude.h"

#include "engine/Address.h"

#include <algorithm>
#include <sys/stat.h>

namespace corvane {

bool SameSource(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool ExcludeSources(EvaContext& ctx, const std::vector<std::string>& paths, std::string& error)
{
    for (const std::string& p : paths) {
        const bool given = std::any_of(ctx.sources.begin(), ctx.sources.end(),
                                       [&](const SourceEntry& s) { return SameSource(s.path, p); });
        if (!given) {
            error = "--exclude " + p + ": not one of the sources given";
            return false;
        }
    }
    for (const EvaContext::ExcludedCell& c : ctx.excluded)
        ctx.memberMap[c.slot.row][c.slot.column] = c.member;
    ctx.excluded.clear();
    for (unsigned row = 0; row < static_cast<unsigned>(kRows); ++row)
        for (unsigned column = 0; column < static_cast<unsigned>(kColumns); ++column) {
            MemberDisk*& cell = ctx.memberMap[row][column];
            if (!cell)
                continue;
            const bool out = std::any_of(paths.begin(), paths.end(),
                                         [&](const std::string& p) { return SameSource(cell->source, p); });
            if (!out)
                continue;
            ctx.excluded.push_back({{static_cast<uint8_t>(row), static_cast<uint8_t>(column)}, cell});
            cell = nullptr;
        }
    return true;
}

std::string ExclusionLoss(const EvaContext& ctx, const std::vector<LayoutRecord>& records)
{
    if (ctx.excluded.empty())
        return {};
    auto excludedAt = [&](unsigned row, unsigned column) -> const MemberDisk* {
        for (const EvaContext::ExcludedCell& c : ctx.excluded)
            if (c.slot.row == row && c.slot.column == column)
                return c.member;
        return nullptr;
    };
    size_t count = 0;
    std::string first;
    for (size_t k = 0; k < records.size(); ++k) {
        const LayoutRecord& r = records[k];
        unsigned missing = 0;
        bool byExclusion = false;
        std::string slots;
        for (unsigned p = 0; p < 5; ++p) {
            const unsigned column = PositionColumn(r, p);
            if (IsAvailable(ctx, r, p))
                continue;
            ++missing;
            slots += slots.empty() ? "" : ", ";
            slots += "position " + std::to_string(p) + " (" + std::to_string(r.row()) + "," +
                     std::to_string(column) + ")";
            if (const MemberDisk* m = InMatrix(r.row(), column) ? excludedAt(r.row(), column) : nullptr) {
                byExclusion = true;
                slots += " excluded " + m->source;
            } else {
                slots += " missing";
            }
        }
        if (missing < 2 || !byExclusion)
            continue;
        if (count++ == 0)
            first = "stripe " + std::to_string(k) + " has " + slots;
    }
    if (count == 0)
        return {};
    return "excluding leaves " + std::to_string(count) + " of " + std::to_string(records.size()) +
           " stripes with two or more positions missing, which parity cannot rebuild: " + first;
}

std::vector<std::string> ExcludedSources(const EvaContext& ctx)
{
    std::vector<std::string> out;
    for (const auto& m : ctx.members)
        for (const EvaContext::ExcludedCell& c : ctx.excluded)
            if (c.member == m.get()) {
                out.push_back(m->source);
                break;
            }
    return out;
}

} // namespace corvane
