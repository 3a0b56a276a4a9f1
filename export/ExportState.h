// The export machinery the context owns: the reader matrix of the current
// or last export, the stripe writer with its 20 slots, and the target.
#pragma once

#include "engine/Context.h"
#include "export/ExportTarget.h"
#include "export/MemberReader.h"
#include "export/Shared.h"
#include "export/StripeWriter.h"

#include <array>
#include <atomic>
#include <memory>

namespace corvane {

class ExportState : public ExportStateBase {
public:
    ExportState() = default;
    // Readers first: their threads have left (every export joins them), so
    // only their buffers go.
    ~ExportState() override = default;

    // Drops the readers of the last export; they point at members a new
    // analysis is about to close.
    void ReleaseReaders() override;

    std::array<std::array<std::unique_ptr<MemberReader>, kColumns>, kRows> readers;
    StripeWriter writer;
    ExportTarget target;
    FirstFailure failure;
};

// Builds the context's export state (the writer's 20 slots, mapped
// zero-filled) if it has none yet, and returns it. The front ends call
// it right after creating the context; OpenExportTarget and ExportLun call it
// too, so a context that skipped it gets its state on first use.
ExportState& AttachExportState(EvaContext& ctx);

} // namespace corvane
