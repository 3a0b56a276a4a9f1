#include "export/MemberReader.h"

#include "engine/Address.h"
#include "engine/Errors.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>
#include <sys/sendfile.h>

namespace corvane {

SegmentSlot::SegmentSlot() : data(kSegmentSize) {}

MemberReader::MemberReader() = default;

void BindMember(MemberReader& reader, MemberDisk* member)
{
    reader.member = member;
}

SegmentSlot& CurrentSegmentSlot(MemberReader& reader)
{
    return reader.slots[reader.consumed % kRingSlots];
}

void AdvanceConsumed(MemberReader& reader)
{
    ++reader.consumed;
}

namespace {

// pread refuses these for the offset or the descriptor itself, not for the
// medium: the platform cannot position there, as a failed seek.
bool OffsetRefused(int err)
{
    return err == EINVAL || err == EOVERFLOW || err == ESPIPE;
}

std::string Hex(uint64_t v)
{
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

// Reads the segment at offset of member into slot. Returns false when the
// offset was refused (error 11, recorded); a failed or short read is only
// readOk 0.
bool ReadInto(MemberDisk* member, uint64_t offset, SegmentSlot& slot, FirstFailure* failure)
{
    slot.readOk = 0;
    JIO* io = member ? member->io.get() : nullptr;
    if (!io)
        return true;
    uint64_t got = 0;
    errno = 0;
    const bool ok = io->ReadAt(offset, slot.data.data(), static_cast<uint32_t>(kSegmentSize), &got);
    if (!ok && OffsetRefused(errno)) {
        const int err = errno;
        if (failure)
            failure->Record(kSeekFailed, "seek failed: " + member->source + " to offset " + Hex(offset) + ": " +
                                             std::strerror(err));
        return false;
    }
    // A short read (an image that ends inside the segment) counts as failed:
    // the rest of the buffer still holds an earlier segment.
    slot.readOk = ok && got == kSegmentSize ? 1 : 0;
    return true;
}

// Checks that the segment reads without copying it anywhere: the kernel
// brings it into the page cache (reporting errors) and drops it at
// /dev/null. 3: readable; 0: not (short or failed); -1: the check itself is
// not possible here, read instead.
int CheckReadable(const MemberReader& r, uint64_t offset)
{
    off_t at = static_cast<off_t>(offset);
    uint64_t done = 0;
    while (done < kSegmentSize) {
        const ssize_t n = ::sendfile(r.nullFd, r.copyFd, &at, kSegmentSize - done);
        if (n > 0) {
            done += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOVERFLOW || errno == ESPIPE))
            return -1;
        return 0; // an I/O error, or the end of the image inside the segment
    }
    return 3;
}

// Serves request `request` into slot: reads it, checks it, or leaves it
// for later.
bool ReadSegment(MemberReader& r, uint32_t request, SegmentSlot& slot)
{
    const uint64_t offset = SegmentOffset(request & ~kRequestFlags);
    slot.copyFd = r.copyFd;
    slot.copyOffset = offset;
    slot.member = r.member;
    slot.copyState = &r.copyState;
    if (request & kReadWhenNeeded) {
        slot.readOk = r.member && r.member->io ? 2 : 0;
        return true;
    }
    if ((request & kCheckOnly) && r.copyFd >= 0 && r.nullFd >= 0 &&
        r.copyState.load(std::memory_order_acquire) == kCopyWorks) {
        const int checked = CheckReadable(r, offset);
        if (checked >= 0) {
            slot.readOk = static_cast<uint8_t>(checked);
            return true;
        }
    }
    return ReadInto(r.member, offset, slot, r.failure);
}

} // namespace

void LoadSegmentNow(SegmentSlot& slot, FirstFailure* failure)
{
    if (slot.readOk != 2 && slot.readOk != 3)
        return;
    try {
        ReadInto(slot.member, slot.copyOffset, slot, failure);
    } catch (const std::exception& e) {
        slot.readOk = 0;
        if (failure)
            failure->Record(kReadFailed, std::string("read failed: ") + e.what());
    }
}

void RunMemberReader(MemberReader& r)
{
    FILE* const console = r.console;
    uint64_t i = 0;
    bool broken = false; // after an error: hand slots over unread
    for (;;) {
        if (r.stopRequested.load(std::memory_order_acquire) != 0)
            break;
        if (i < r.requests.size()) {
            SegmentSlot& slot = r.slots[i % kRingSlots];
            if (!AwaitFlagUnlessStopped(slot.state, 1, r.stopRequested))
                break;
            if (broken) {
                slot.readOk = 0;
            } else {
                try {
                    broken = !ReadSegment(r, r.requests[i], slot);
                } catch (const EvaError& e) {
                    slot.readOk = 0;
                    broken = true;
                    if (r.failure)
                        r.failure->Record(e.code(), e.reason());
                } catch (const std::exception& e) {
                    slot.readOk = 0;
                    broken = true;
                    if (r.failure)
                        r.failure->Record(kReadFailed, std::string("read failed: ") + e.what());
                }
            }
            // seq_cst: the stop path gives slots back after setting the stop
            // flag; this store and the stop check that follows it must not be
            // reordered, or both sides could miss each other.
            Publish(slot.state, 0, std::memory_order_seq_cst);
            ++i;
        } else {
            // Every request served: sleep until told to stop.
            AwaitFlag(r.stopRequested, 1);
            break;
        }
    }
    // Nothing of the reader is touched after this store.
    Publish(r.exited, 1);
    ConsoleLine(console, Texts().readerExit);
}

} // namespace corvane
