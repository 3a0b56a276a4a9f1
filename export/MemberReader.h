// One reader per member of the member map: its own thread reads the 2 MiB
// segments the LUN's stripes need, in the order the export thread takes
// them, into a ring of 20 slots.
#pragma once

#include "engine/Context.h"
#include "export/Flag.h"
#include "export/PageBuffer.h"
#include "export/Shared.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace corvane {

inline constexpr unsigned kRingSlots = 20;

// A request with this bit is a stripe's parity: the reader hands its slot
// over unread (readOk 2) and the export thread reads it only for a stripe
// that lost a data segment. An intact stripe never needs it, and not
// reading it saves a fifth of the reading.
inline constexpr uint32_t kReadWhenNeeded = 0x80000000u;
// A request with this bit is a data segment of a stripe that has all its
// members: when the writer copies from this member inside the kernel, the
// reader only checks that the segment reads (sendfile to /dev/null, no
// copy) and hands the slot over with readOk 3; the segment is read into the
// buffer only if the stripe turns out to need it there.
inline constexpr uint32_t kCheckOnly = 0x40000000u;
inline constexpr uint32_t kRequestFlags = kReadWhenNeeded | kCheckOnly;

// Whether the writer's in-kernel copy works from a member: 0 not known yet,
// 1 it did, 2 it cannot. Readers only check segments once it did.
enum : uint8_t { kCopyUnknown = 0, kCopyWorks = 1, kCopyFails = 2 };

// One slot of a reader's ring.
struct SegmentSlot {
    SegmentSlot();
    // 1: free, the reader may fill it. 0: holds a segment for the export
    // thread. Set to 0 only by the reader, to 1 only by the writer (or by the
    // export thread once the writer has left).
    Flag state{1};
    // 1 when the whole segment was read, 0 when it could not be, 2 when it
    // was left to be read when needed, 3 when it was found readable but not
    // read into the buffer (both: LoadSegmentNow). Written before state goes
    // to 0.
    uint8_t readOk = 0;
    PageBuffer data; // kSegmentSize bytes, zero when built
    // Where the segment lies in a member that is a plain regular file (-1:
    // not one), so the writer may have the kernel copy it from there to the
    // target instead of writing the buffer. Valid only with readOk.
    int copyFd = -1;
    uint64_t copyOffset = 0;
    // Where a segment left for later lies (readOk 2 or 3).
    MemberDisk* member = nullptr;
    // The reader's copy state (kCopyUnknown ...), for the writer to update.
    std::atomic<uint8_t>* copyState = nullptr;
};

// Whether the stripe's data can be taken from this slot as it is: read, or
// found readable for the in-kernel copy.
inline bool SegmentPresent(const SegmentSlot* s)
{
    return s && (s->readOk == 1 || s->readOk == 3);
}

// Reads a segment left for later (readOk 2 or 3) into its slot, on the
// thread that holds the slot; readOk becomes 1 or 0. An offset the platform
// refuses records error 11 in failure. Does nothing for other slots.
void LoadSegmentNow(SegmentSlot& slot, FirstFailure* failure);

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
    int copyFd = -1;  // the member's descriptor when it is a plain regular file
    int nullFd = -1;  // /dev/null, for checking segments without copying them
    std::atomic<uint8_t> copyState{kCopyUnknown};
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
