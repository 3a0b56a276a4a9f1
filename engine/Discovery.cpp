// Placeholder until discovery lands: the analysis fails cleanly.
#include "engine/Context.h"
#include "engine/Errors.h"

namespace corvane {
void EvaContext::DiscoverArray() { Raise(kNoRaidInfo, "discovery is not built yet"); }
void EvaContext::IndexMembersById() {}
bool EvaContext::ReadRaidInfo(MemberDisk&) { return false; }
void RaidInfoRecord::BuildSlots() {}
} // namespace corvane
