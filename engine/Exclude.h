// Leaving a source out on purpose: a member that reads but cannot be
// trusted (one the array dropped long before, holding old data) is taken out
// of the member map while it stays open, so every segment it serves counts
// as missing and is rebuilt from parity.
#pragma once

#include "engine/Context.h"

#include <string>
#include <vector>

namespace corvane {

// Whether two source names are one file or device (the same path, or the
// same device and inode).
bool SameSource(const std::string& a, const std::string& b);

// Empties the member-map cells of the members opened from `paths` (any
// spelling of a source) and records them in ctx.excluded; an earlier
// exclusion is undone first, so an empty list restores the map. False with
// error when a path names none of ctx.sources; the map is then as before
// the call.
bool ExcludeSources(EvaContext& ctx, const std::vector<std::string>& paths, std::string& error);

// Why an export of these stripe records cannot work with the exclusion:
// the first stripe the exclusion leaves with two or more positions missing
// (parity rebuilds one), naming its slots and sources, and how many stripes
// are so. Empty when every stripe keeps at most one missing position, or
// when nothing is excluded.
std::string ExclusionLoss(const EvaContext& ctx, const std::vector<LayoutRecord>& records);

// The excluded sources, once each, in member order (paths as opened).
std::vector<std::string> ExcludedSources(const EvaContext& ctx);

} // namespace corvane
