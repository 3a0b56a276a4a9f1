#include "export/StripeWriter.h"

#include "engine/Address.h"
#include "engine/Errors.h"
#include "export/ExportTarget.h"

#include <cstring>
#include <exception>

namespace corvane {

StripeSlot::StripeSlot() : output(kRunSize), gathered(kStripePositions * kSegmentSize) {}

StripeWriter::StripeWriter() = default;

StripeSlot& NextStripeSlot(StripeWriter& writer)
{
    StripeSlot& slot = writer.slots[writer.filled % kRingSlots];
    ++writer.filled;
    return slot;
}

namespace {

uint8_t* Segment(StripeSlot& slot, unsigned p)
{
    return slot.gathered.data() + p * kSegmentSize;
}

const uint8_t* SourceData(const StripeSlot& slot, unsigned p)
{
    return slot.sources[p]->data.data();
}

} // namespace

void RebuildMissingSegment(StripeSlot& slot)
{
    if (slot.missingCount != 1)
        return;
    const unsigned q = slot.missingPosition;
    const uint8_t* in[4];
    unsigned n = 0;
    for (unsigned p = 0; p < kStripePositions; ++p)
        if (p != q)
            in[n++] = SourceData(slot, p);
    // One pass over 64-bit words: all buffers are page-aligned mappings.
    uint64_t* out = reinterpret_cast<uint64_t*>(Segment(slot, q));
    const auto* a = reinterpret_cast<const uint64_t*>(in[0]);
    const auto* b = reinterpret_cast<const uint64_t*>(in[1]);
    const auto* c = reinterpret_cast<const uint64_t*>(in[2]);
    const auto* d = reinterpret_cast<const uint64_t*>(in[3]);
    for (size_t i = 0; i < kSegmentSize / sizeof(uint64_t); ++i)
        out[i] = a[i] ^ b[i] ^ c[i] ^ d[i];
}

void AssembleStripe(StripeSlot& slot, bool interleave)
{
    slot.missingCount = 0;
    slot.missingMask = 0;
    bool dataMissing = false;
    for (unsigned p = 0; p < 4; ++p)
        dataMissing = dataMissing || !SegmentPresent(slot.sources[p]);
    for (unsigned p = 0; p < kStripePositions; ++p) {
        const SegmentSlot* s = slot.sources[p];
        // The parity counts only when the stripe needs it; the export thread
        // has then read it (LoadSegmentNow). A data segment found readable
        // but not read is present: the writer copies it inside the kernel.
        const bool present = p < 4 ? SegmentPresent(s) : s && (s->readOk == 1 || (s->readOk == 2 && !dataMissing));
        if (!present) {
            ++slot.missingCount;
            slot.missingPosition = static_cast<uint8_t>(p);
            slot.missingMask = static_cast<uint8_t>(slot.missingMask | (1u << p));
        }
    }
    // Good segments are used where the reader put them; only a rebuilt or
    // zero-filled segment is made in gathered. With the parity alone missing
    // nothing needs rebuilding: it never reaches the output.
    if (slot.missingCount == 1 && slot.missingPosition < 4)
        RebuildMissingSegment(slot);
    for (unsigned p = 0; p < 4; ++p) {
        if (slot.missingMask & (1u << p)) {
            if (slot.missingCount >= 2)
                std::memset(Segment(slot, p), 0, kSegmentSize);
            slot.pieces[p] = Segment(slot, p);
        } else {
            slot.pieces[p] = SourceData(slot, p);
        }
    }
    slot.interleaved = interleave;
    if (interleave) {
        const uint8_t* const pieces[4] = {slot.pieces[0], slot.pieces[1], slot.pieces[2], slot.pieces[3]};
        InterleaveChunks(pieces, slot.output.data());
    }
}

void RunStripeWriter(StripeWriter& w)
{
    FILE* const console = w.console;
    bool broken = false; // after a failed write: give slots back unwritten
    for (uint32_t i = 0;; ++i) {
        if (w.stopRequested.load(std::memory_order_acquire) != 0)
            break;
        StripeSlot& slot = w.slots[i % kRingSlots];
        if (!AwaitFlagUnlessStopped(slot.free, 0, w.stopRequested))
            break;
        if (!broken) {
            std::string error;
            int code = kWriteFailed;
            try {
                code = w.target ? w.target->WriteStripe(slot, error) : kWriteFailed;
            } catch (const std::exception& e) {
                error = std::string("write failed: ") + e.what();
            }
            if (code == 0) {
                w.written.fetch_add(1, std::memory_order_release);
            } else {
                broken = true;
                if (w.failure)
                    w.failure->Record(code, error.empty() ? "write failed" : error);
            }
        }
        for (SegmentSlot* s : slot.sources)
            if (s)
                Publish(s->state, 1);
        w.retired.fetch_add(1, std::memory_order_release);
        w.retired.notify_all();
        Publish(slot.free, 1);
    }
    Publish(w.exited, 1);
    ConsoleLine(console, Texts().writerExit);
}

} // namespace corvane
