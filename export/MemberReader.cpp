#include "export/MemberReader.h"

#include "engine/Address.h"
#include "engine/Errors.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>

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

// Reads one segment into slot. Returns false when the offset was refused
// (error 11, recorded); a failed or short read is only readOk 0.
bool ReadSegment(MemberReader& r, uint32_t segment, SegmentSlot& slot)
{
    slot.readOk = 0;
    JIO* io = r.member ? r.member->io.get() : nullptr;
    if (!io)
        return true;
    const uint64_t offset = SegmentOffset(segment);
    uint64_t got = 0;
    errno = 0;
    const bool ok = io->ReadAt(offset, slot.data.data(), static_cast<uint32_t>(kSegmentSize), &got);
    if (!ok && OffsetRefused(errno)) {
        const int err = errno;
        if (r.failure)
            r.failure->Record(kSeekFailed, "seek failed: " + r.member->source + " to offset " + Hex(offset) +
                                               ": " + std::strerror(err));
        return false;
    }
    // A short read (an image that ends inside the segment) counts as failed:
    // the rest of the buffer still holds an earlier segment.
    slot.readOk = ok && got == kSegmentSize ? 1 : 0;
    slot.copyFd = r.copyFd;
    slot.copyOffset = offset;
    return true;
}

} // namespace

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
