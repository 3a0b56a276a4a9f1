// corvane-cli verify: read every segment of every stripe of the chosen LUNs
// and check the parity, to find a member that reads but lies (a stale one).
#pragma once

#include "cli/Commands.h"
#include "export/Export.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <string>

namespace corvane::cli {

inline constexpr int kExitInconsistent = 19;

void RegisterVerify(CLI::App& app, Options& opts);
int RunVerify(const Options& opts);

// The verdict on the sources, for people: the likely stale member with the
// counts that support it, or why none can be named. Empty when no stripe is
// inconsistent.
std::string StaleVerdict(const ParityReport& p);
// A parity report as JSON (stripes, blocks, inconsistentRanges, sources,
// sharedByInconsistent, likelyStale) and as indented lines.
nlohmann::ordered_json ParityJson(const ParityReport& p);
std::string ParityText(const ParityReport& p);
// The likely stale member (one source in every inconsistent stripe), or
// empty.
std::string LikelyStale(const ParityReport& p);

} // namespace corvane::cli
