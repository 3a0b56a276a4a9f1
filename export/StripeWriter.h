// The writer stage: a ring of 20 stripe slots that the export thread fills
// and the writer thread writes to the target in ring order, giving the
// readers' slots back after each write.
#pragma once

#include "export/Flag.h"
#include "export/MemberReader.h"
#include "export/PageBuffer.h"
#include "export/Segment.h"
#include "export/Shared.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

namespace corvane {

struct ExportTarget;
class StripeHasher;

struct StripeSlot {
    StripeSlot();
    // 2n: free for stripe n of this export (n = slot index mod 20); 2n + 1:
    // holds stripe n for the writer.
    Turn turn{0};
    uint64_t stripe = 0; // the stripe record's number in the LUN
    // The state of each position: a reader slot's, or `absent` for a
    // position whose slot has no reader.
    std::array<SegmentState*, kStripePositions> segments{};
    // The reader slots the stripe holds, and the request each holds.
    std::array<RingSlot*, kStripePositions> held{};
    std::array<uint64_t, kStripePositions> heldRequest{};
    std::array<SegmentState, kStripePositions> absent;
    // Data segments of absent positions are built here (4 x 2 MiB, mapped
    // on first use).
    PageBuffer scratch;
    StripeOutcome outcome;
};

// What the writer has put on the target, for reports while it runs.
struct WriterTally {
    std::atomic<uint64_t> retired{0}; // stripes the writer is done with (written or dropped)
    std::atomic<uint32_t> written{0}; // of those, written: back to back from the first stripe
};

struct StripeWriter {
    StripeWriter();
    StripeWriter(const StripeWriter&) = delete;
    StripeWriter& operator=(const StripeWriter&) = delete;

    ExportTarget* target = nullptr;
    std::array<StripeSlot, kRingSlots> slots;
    uint64_t filled = 0; // stripes handed over in this export; export thread only
    WriterTally tally;

    // Set by the export before the thread starts.
    JFileHandle::ReadPolicy policy;      // for a stripe the writer must read after all
    const std::atomic<bool>* dropWhen = nullptr; // set: stripes not yet written are dropped
    std::function<void(const StripeSlot&)> onWritten; // after each stripe is on the target
    FirstFailure* failure = nullptr;
    FILE* console = nullptr;
    // Set: every stripe written goes to the hasher, in order.
    StripeHasher* hasher = nullptr;
    bool discard = false; // a parity check alone: stripes are not written
};

// Resets the ring for an export whose first stripe is `first`.
void ResetWriter(StripeWriter& w, uint64_t first);

// The writer thread's body: writes every stripe handed to it, in ring
// order, gives its reader slots back and frees its slot. A failed write
// records error 8 and later stripes are dropped; so are all once dropWhen
// is set. Leaves when its ring is stopped.
void RunStripeWriter(StripeWriter& writer);

// Gives a stripe slot's reader slots back to their readers.
void ReleaseHeld(StripeSlot& slot);

} // namespace corvane
