#include "engine/Address.h"

#include <algorithm>
#include <cstring>

namespace corvane {

bool IsSlotMissing(const EvaContext& ctx, unsigned row, unsigned column)
{
    return std::any_of(ctx.missingSlots.begin(), ctx.missingSlots.end(),
                       [&](const SlotKey& k) { return k.row == row && k.column == column; });
}

MemberDisk* MemberAt(const EvaContext& ctx, unsigned row, unsigned column)
{
    if (!InMatrix(row, column))
        return nullptr;
    return ctx.memberMap[row][column];
}

bool IsAvailable(const EvaContext& ctx, const LayoutRecord& r, unsigned p)
{
    const unsigned row = r.row();
    const unsigned column = PositionColumn(r, p);
    if (!InMatrix(row, column))
        return false;
    return !IsSlotMissing(ctx, row, column) && ctx.memberMap[row][column] != nullptr;
}

bool ReadFirstAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                          uint8_t* buffer)
{
    for (unsigned p = first; p < first + count && p < 8; ++p) {
        if (!IsAvailable(ctx, r, p))
            continue;
        MemberDisk* m = ctx.memberMap[r.row()][PositionColumn(r, p)];
        m->Seek(SegmentOffset(PositionSegment(r, p)));
        uint64_t got = 0;
        if (m->Read(buffer, static_cast<uint32_t>(kSegmentSize), &got, false) && got == kSegmentSize)
            return true;
        // A failed or short read: this alternative does not count, and its
        // partial bytes must not pass for the segment.
        std::memset(buffer, 0, kSegmentSize);
    }
    return false;
}

void InterleaveChunks(const uint8_t* const pieces[4], uint8_t* out)
{
    for (uint64_t k = 0; k < kSegmentSize / kChunkSize; ++k)
        for (uint64_t m = 0; m < 4; ++m)
            std::memcpy(out + (4 * k + m) * kChunkSize, pieces[m] + k * kChunkSize, kChunkSize);
}

} // namespace corvane
