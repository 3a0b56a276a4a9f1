// The writer stage: a ring of 20 stripe slots that the export thread fills
// with AssembleStripe and the writer thread writes to the target in ring
// order, giving the readers' slots back after each write.
#pragma once

#include "export/Flag.h"
#include "export/MemberReader.h"
#include "export/PageBuffer.h"
#include "export/Shared.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>

namespace corvane {

struct ExportTarget;

inline constexpr unsigned kStripePositions = 5; // four data segments and parity

struct StripeSlot {
    StripeSlot();
    // 1: free, the export thread may fill it. 0: handed to the writer.
    Flag free{1};
    // The reader slot that supplied each position, or none.
    std::array<SegmentSlot*, kStripePositions> sources{};
    // The last position the last AssembleStripe found missing.
    uint8_t missingPosition = 0;
    PageBuffer output;   // 8 MiB: the stripe's LUN data (when interleaved here)
    PageBuffer gathered; // 10 MiB: position p at p x 2 MiB (rebuilt or zero-filled segments)
    uint8_t missingCount = 0;
    // Bit p set: position p was missing.
    uint8_t missingMask = 0;
    // Where each data segment of the stripe lies for the write: the reader
    // slot's buffer, or the rebuilt / zero-filled segment in gathered.
    std::array<const uint8_t*, 4> pieces{};
    // output holds the interleaved stripe (AssembleStripe was asked to).
    bool interleaved = false;
};

struct StripeWriter {
    StripeWriter();
    StripeWriter(const StripeWriter&) = delete;
    StripeWriter& operator=(const StripeWriter&) = delete;

    ExportTarget* target = nullptr;
    std::array<StripeSlot, kRingSlots> slots;
    Flag stopRequested{0};
    Flag exited{0};
    // Slots handed out in this export; the next is filled % 20. Export thread only.
    uint32_t filled = 0;
    // Stripes the writer is done with (written, or skipped after a failed
    // write), and of those the ones written. Both only grow during an export.
    std::atomic<uint32_t> retired{0};
    std::atomic<uint32_t> written{0};

    FirstFailure* failure = nullptr;
    FILE* console = nullptr;
};

StripeSlot& NextStripeSlot(StripeWriter& writer);

// Fills missingCount, missingPosition, missingMask and pieces from the
// slot's sources; rebuilds a single missing segment from the other four,
// zero-fills the missing data segments when two or more are missing, and
// with interleave set also fills output with the stripe's 8 MiB.
void AssembleStripe(StripeSlot& slot, bool interleave = true);

// Rebuilds the one missing segment (missingPosition) in gathered as the
// exclusive-or of the other four. Does nothing unless exactly one is missing.
void RebuildMissingSegment(StripeSlot& slot);

// The writer thread's body: writes every slot handed to it, in ring order,
// then gives its reader slots back and frees it. A failed write records
// error 8; later slots are then given back unwritten. Leaves on its stop
// flag once no handed slot is left.
void RunStripeWriter(StripeWriter& writer);

} // namespace corvane
