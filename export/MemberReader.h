// One reader per member of the member map: its own thread reads the 2 MiB
// segments the LUN's stripes need, in the order the export thread takes
// them, into a ring of 20 slots.
#pragma once

#include "engine/Context.h"
#include "export/Flag.h"
#include "export/PageBuffer.h"
#include "export/Shared.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace corvane {

inline constexpr unsigned kRingSlots = 20;

// One slot of a reader's ring.
struct SegmentSlot {
    SegmentSlot();
    // 1: free, the reader may fill it. 0: holds a segment for the export
    // thread. Set to 0 only by the reader, to 1 only by the writer (or by the
    // export thread once the writer has left).
    Flag state{1};
    // 1 when the whole segment was read. Written before state goes to 0.
    uint8_t readOk = 0;
    PageBuffer data; // kSegmentSize bytes, zero when built
    // Where the segment lies in a member that is a plain regular file (-1:
    // not one), so the writer may have the kernel copy it from there to the
    // target instead of writing the buffer. Valid only with readOk.
    int copyFd = -1;
    uint64_t copyOffset = 0;
};

struct MemberReader {
    MemberReader();
    MemberReader(const MemberReader&) = delete;
    MemberReader& operator=(const MemberReader&) = delete;

    MemberDisk* member = nullptr;
    std::array<SegmentSlot, kRingSlots> slots;
    // Segments the export thread has taken; its ring position is
    // consumed % 20. Export thread only. 64 bits: one reader can serve up to
    // five segments of every stripe of a LUN.
    uint64_t consumed = 0;
    Flag exited{0};
    // Segment numbers to read, in order. Filled before the thread starts,
    // read-only afterwards.
    std::vector<uint32_t> requests;
    Flag stopRequested{0};

    // Export thread only: for each slot, 1 + the hand-over number of the
    // stripe that last took it (0: not taken in this export). The slot is
    // free again once the writer has retired that many stripes.
    std::array<uint32_t, kRingSlots> takenBy{};

    // Set by the export before the thread starts.
    FirstFailure* failure = nullptr;
    int copyFd = -1; // the member's descriptor when it is a plain regular file
    FILE* console = nullptr;
};

void BindMember(MemberReader& reader, MemberDisk* member);
SegmentSlot& CurrentSegmentSlot(MemberReader& reader);
void AdvanceConsumed(MemberReader& reader);

// The reader thread's body. Reads requests[i] into slot i % 20 once the slot
// is free; a failed or short read leaves readOk 0, so the stripe treats the
// segment as missing. An offset the platform refuses records error 11 and
// the reader then hands the remaining slots over unread, so the export
// thread never waits for it in vain; it leaves only on its stop flag.
void RunMemberReader(MemberReader& reader);

} // namespace corvane
