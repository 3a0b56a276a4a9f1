#include "export/ExportState.h"

namespace corvane {

void ExportState::ReleaseReaders()
{
    // Only called by an analysis, which the context's job guard keeps from
    // running while an export's threads use the readers.
    for (auto& row : readers)
        for (auto& cell : row)
            cell.reset();
}

ExportState& AttachExportState(EvaContext& ctx)
{
    if (!ctx.exportState)
        ctx.exportState = std::make_unique<ExportState>();
    return static_cast<ExportState&>(*ctx.exportState);
}

} // namespace corvane
