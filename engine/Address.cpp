#include "engine/Address.h"

#include "disk/Text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace corvane {

namespace {

bool AllZero(const uint8_t* p, size_t n)
{
    // Word at a time: a real header or piece has a non-zero byte early.
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w != 0)
            return false;
    }
    for (; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

} // namespace

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

void NoteZeroCopy(EvaContext& ctx, const LayoutRecord& r, unsigned p)
{
    const MemberDisk* m = ctx.memberMap[r.row()][PositionColumn(r, p)];
    char where[96];
    std::snprintf(where, sizeof where, " at 0x%llx (row %u, column %u)",
                  static_cast<unsigned long long>(SegmentOffset(PositionSegment(r, p))), r.row(),
                  static_cast<unsigned>(PositionColumn(r, p)));
    ctx.notes.push_back(JFileHandle::NarrowToUtf8(m->source) + ": the segment" + where +
                        " holds only zeros; it is taken as unreadable and the next alternative is tried");
}

AlternativeRead ReadAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                                uint8_t* buffer, bool acceptZeros)
{
    for (unsigned p = first; p < first + count && p < 8; ++p) {
        if (!IsAvailable(ctx, r, p))
            continue;
        MemberDisk* m = ctx.memberMap[r.row()][PositionColumn(r, p)];
        m->Seek(SegmentOffset(PositionSegment(r, p)));
        uint64_t got = 0;
        if (m->Read(buffer, static_cast<uint32_t>(kSegmentSize), &got, false) && got == kSegmentSize) {
            const bool zeros = AllZero(buffer, kSegmentSize);
            if (!zeros || acceptZeros)
                return {static_cast<int>(p), zeros};
            // Never written, or the fill of an imaging tool: a copy of
            // nothing, which would pass for a LUN of 0 bytes.
            NoteZeroCopy(ctx, r, p);
            continue; // the buffer is all zero already
        }
        // A failed or short read: this alternative does not count, and its
        // partial bytes must not pass for the segment.
        std::memset(buffer, 0, kSegmentSize);
    }
    return {};
}

bool ReadFirstAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                          uint8_t* buffer)
{
    return static_cast<bool>(ReadAlternative(ctx, r, first, count, buffer, false));
}

void InterleaveChunks(const uint8_t* const pieces[4], uint8_t* out)
{
    for (uint64_t k = 0; k < kSegmentSize / kChunkSize; ++k)
        for (uint64_t m = 0; m < 4; ++m)
            std::memcpy(out + (4 * k + m) * kChunkSize, pieces[m] + k * kChunkSize, kChunkSize);
}

} // namespace corvane
