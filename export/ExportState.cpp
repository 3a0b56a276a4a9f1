#include "export/ExportState.h"

namespace corvane {

void ExportState::ReleaseReaders()
{
    // A running export still uses them; the front ends keep an analysis from
    // starting then, and this keeps a slip from freeing memory under it.
    if (running.load())
        return;
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
