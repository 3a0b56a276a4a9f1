#include "export/StripeWriter.h"

#include "engine/Address.h"
#include "engine/Errors.h"
#include "export/ExportTarget.h"
#include "export/StripeHash.h"

#include <exception>

namespace corvane {

StripeSlot::StripeSlot() : scratch(4 * kSegmentSize) {}

StripeWriter::StripeWriter() = default;

void ResetWriter(StripeWriter& w, uint64_t first)
{
    w.filled = 0;
    (void)first;
    w.tally.retired.store(0);
    w.tally.written.store(0);
    for (unsigned s = 0; s < kRingSlots; ++s) {
        w.slots[s].turn.store(FreeTurn(s));
        w.slots[s].held.fill(nullptr);
    }
}

void ReleaseHeld(StripeSlot& slot)
{
    for (unsigned p = 0; p < kStripePositions; ++p) {
        if (RingSlot* r = slot.held[p]) {
            // A stopped slot stays stopped.
            PassTurn(r->turn, FilledTurn(slot.heldRequest[p]), FreeTurn(slot.heldRequest[p] + kRingSlots));
            slot.held[p] = nullptr;
        }
    }
}

void RunStripeWriter(StripeWriter& w)
{
    bool broken = false; // after a failed write: drop the rest
    for (uint64_t n = 0;; ++n) {
        StripeSlot& slot = w.slots[n % kRingSlots];
        if (!AwaitTurn(slot.turn, FilledTurn(n)))
            break;
        const bool drop = broken || (w.dropWhen && w.dropWhen->load(std::memory_order_acquire));
        if (!drop) {
            // A stripe in the buffers is hashed from them while it is
            // written; one the kernel copies is read back once written.
            bool offered = false;
            if (w.hasher) {
                offered = true;
                for (unsigned p = 0; p < 4; ++p)
                    offered = offered && (slot.segments[p]->source == SegmentSource::Buffer ||
                                          slot.segments[p]->source == SegmentSource::Absent);
                if (offered) {
                    std::array<const uint8_t*, kChunksPerStripe> chunks{};
                    for (unsigned c = 0; c < kChunksPerStripe; ++c)
                        chunks[c] = slot.segments[c % 4]->buffer + (c / 4) * kChunkSize;
                    w.hasher->Offer(slot.stripe, chunks);
                }
            }
            std::string error;
            int code = kWriteFailed;
            try {
                code = w.discard ? 0 : w.target ? w.target->WriteStripe(slot, w.policy, error) : kWriteFailed;
            } catch (const std::exception& e) {
                error = std::string("write failed: ") + e.what();
            }
            if (offered)
                w.hasher->AwaitOffered();
            if (code == 0) {
                if (w.hasher)
                    w.hasher->Written((slot.stripe + 1) * kRunSize);
                w.tally.written.fetch_add(1, std::memory_order_release);
                if (w.onWritten)
                    w.onWritten(slot);
            } else {
                broken = true;
                if (w.failure)
                    w.failure->Record(code, error.empty() ? "write failed" : error);
            }
        } else {
            broken = true;
        }
        ReleaseHeld(slot);
        CountUp(w.tally.retired);
        if (!PassTurn(slot.turn, FilledTurn(n), FreeTurn(n + kRingSlots)))
            break;
    }
    ConsoleLine(w.console, Texts().writerExit);
}

} // namespace corvane
