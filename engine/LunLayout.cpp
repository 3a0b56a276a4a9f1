// Placeholder until the LUN layout lands.
#include "engine/Context.h"
#include "engine/Errors.h"

namespace corvane {
void EvaContext::BuildLunLayout() { Raise(kNoRaidInfo, "LUN layout is not built yet"); }
void EvaContext::ScanLunIndex() {}
void EvaContext::ReadLunHeaders() {}
void EvaContext::ReadHeaderType8(const LayoutRecord&, uint32_t, uint32_t) {}
void EvaContext::ReadHeaderType16(const LayoutRecord&, uint32_t, uint32_t) {}
void EvaContext::ReadSecondIndex() {}
void EvaContext::ReadSecondIndexType8(size_t) {}
void EvaContext::ReadSecondIndexType16(size_t) {}
} // namespace corvane
