// One reader per member of the member map: its own thread reads the 2 MiB
// segments the LUN's stripes need, in the order the export thread takes
// them, into a ring of 20 slots.
#pragma once

#include "engine/Context.h"
#include "export/Flag.h"
#include "export/PageBuffer.h"
#include "export/Segment.h"
#include "export/Shared.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace corvane {

inline constexpr unsigned kRingSlots = 20;

// One slot of a reader's ring.
struct RingSlot {
    RingSlot();
    // 2i: free for request i (i = slot index mod 20); 2i + 1: holds request
    // i for the export thread. Passed on by the reader (filled), then by the
    // writer once the stripe that took it is on the target.
    Turn turn{0};
    PageBuffer data; // kSegmentSize bytes, zero when built
    // What the reader did with the request. Written before the turn says
    // "filled", then owned by the export thread and the writer.
    SegmentState segment;
};

// A segment to serve, and how (decided by the export when it plans the
// stripes): Buffer is read ahead into the ring; Kernel and OnDemand are only
// handed over, for the writer's in-kernel copy or a read when a rebuild
// needs them.
struct ReadRequest {
    uint32_t segment = 0;
    SegmentSource how = SegmentSource::Buffer;
};

struct MemberReader {
    MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    MemberDisk* member = nullptr;
    std::array<RingSlot, kRingSlots> slots;
    // Requests in the order the export thread takes them. Filled before the
    // thread starts, read-only afterwards.
    std::vector<ReadRequest> requests;
    // Requests the export thread has taken (its next is consumed); export
    // thread only.
    uint64_t consumed = 0;

    JFileHandle::ReadPolicy policy;
    // The writer may copy this member's segments to the target in the kernel.
    bool kernelCopy = false;
    // How many requests the reader may be ahead of the stripes retired
    // (at most the ring's 20).
    unsigned lead = kRingSlots;
    FirstFailure* failure = nullptr;
    FILE* console = nullptr;
};

void BindMember(MemberReader& reader, MemberDisk* member);

// The ring slot of request i, and the turn it has when it holds it.
inline RingSlot& SlotOf(MemberReader& r, uint64_t i)
{
    return r.slots[i % kRingSlots];
}
inline constexpr uint64_t FilledTurn(uint64_t i)
{
    return 2 * i + 1;
}
inline constexpr uint64_t FreeTurn(uint64_t i)
{
    return 2 * i;
}

// The reader thread's body: serves requests[i] into slot i % 20 once the
// slot is free for it. A segment read in the ring records exactly which of
// its bytes could not be read (they are zero in the buffer). A position the
// platform refuses records error 11; the reader then hands the remaining
// requests over as unreadable, so the export thread never waits in vain.
// Leaves when every request is served or its slots are stopped.
void RunMemberReader(MemberReader& reader);

} // namespace corvane
