#include "export/MemberReader.h"

#include "engine/Address.h"
#include "engine/Errors.h"

#include <exception>

namespace corvane {

RingSlot::RingSlot() : data(kSegmentSize) {}

MemberReader::MemberReader()
{
    for (unsigned s = 0; s < kRingSlots; ++s)
        slots[s].turn.store(FreeTurn(s));
}

void BindMember(MemberReader& reader, MemberDisk* member)
{
    reader.member = member;
}

namespace {

// Serves one request into its slot. False when the member refused the
// position: error 11 is recorded.
bool Serve(MemberReader& r, const ReadRequest& q, RingSlot& slot)
{
    SegmentState& s = slot.segment;
    s.Reset(q.how, r.member, SegmentOffset(q.segment), slot.data.data());
    if (q.how != SegmentSource::Buffer)
        return true;
    std::string error;
    if (!LoadRange(s, 0, kSegmentSize, r.policy, error)) {
        s.unreadable = ExtentSet{{0, kSegmentSize}};
        if (r.failure)
            r.failure->Record(kSeekFailed, error);
        return false;
    }
    return true;
}

} // namespace

void RunMemberReader(MemberReader& r)
{
    bool broken = false; // after a refused position: hand requests over unread
    for (uint64_t i = 0; i < r.requests.size(); ++i) {
        RingSlot& slot = SlotOf(r, i);
        // A shorter lead: request i - lead must be retired first (its slot
        // then waits for request i - lead + 20, which only this reader fills).
        if (r.lead < kRingSlots && i >= r.lead &&
            !AwaitTurn(SlotOf(r, i - r.lead).turn, FreeTurn(i - r.lead + kRingSlots)))
            break;
        if (!AwaitTurn(slot.turn, FreeTurn(i)))
            break;
        if (broken) {
            slot.segment.Reset(SegmentSource::Absent, nullptr, 0, slot.data.data());
        } else {
            try {
                broken = !Serve(r, r.requests[i], slot);
            } catch (const std::exception& e) {
                broken = true;
                slot.segment.Reset(SegmentSource::Absent, nullptr, 0, slot.data.data());
                if (r.failure)
                    r.failure->Record(kReadFailed, std::string("read failed: ") + r.member->source + ": " + e.what());
            }
        }
        if (!PassTurn(slot.turn, FreeTurn(i), FilledTurn(i)))
            break;
    }
    // Every request served: idle until the export stops the ring, so the
    // readers leave after the writer, as the console lines tell.
    AwaitStop(SlotOf(r, r.requests.size()).turn);
    ConsoleLine(r.console, Texts().readerExit);
}

} // namespace corvane
