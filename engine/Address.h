// Address rules: from a layout record's positions to members and byte
// offsets, the reading of one segment from a group of alternatives, the
// 128 KiB interleave and the stripe geometry. Shared by analysis and export.
#pragma once

#include "engine/Context.h"

#include <cstdint>

namespace corvane {

// Column of position p (0..7): the low nibble of byte 5 + p, 0..15.
constexpr uint8_t PositionColumn(const LayoutRecord& r, unsigned p)
{
    return static_cast<uint8_t>(r.raw[5 + p] & 0x0F);
}

// Segment number of position p: a 20-bit value, high nibble of byte 5 + p,
// then bytes 14 + 2p and 15 + 2p.
constexpr uint32_t PositionSegment(const LayoutRecord& r, unsigned p)
{
    return (static_cast<uint32_t>(r.raw[5 + p] >> 4) << 16) |
           (static_cast<uint32_t>(r.raw[14 + 2 * p]) << 8) | r.raw[15 + 2 * p];
}

// Byte offset of a segment on its member, in 64 bits: at most
// 0xFFFFF x 2 MiB, just under 2 TiB.
constexpr uint64_t SegmentOffset(uint32_t segment)
{
    return static_cast<uint64_t>(segment) * kSegmentSize;
}

// A (row, column) inside the 64 x 15 matrices. A row of 64 or more or a
// column nibble of 15 names no slot.
constexpr bool InMatrix(unsigned row, unsigned column)
{
    return row < static_cast<unsigned>(kRows) && column < static_cast<unsigned>(kColumns);
}

// True when (row, column) stands in the missing-slot list (linear search).
bool IsSlotMissing(const EvaContext& ctx, unsigned row, unsigned column);

// The member at a slot, or nullptr (also for a slot outside the matrix).
MemberDisk* MemberAt(const EvaContext& ctx, unsigned row, unsigned column);

// A position is available when its slot is not missing and the member map
// holds a member there. Positions outside the matrix are never available.
bool IsAvailable(const EvaContext& ctx, const LayoutRecord& r, unsigned p);

// Reads one 2 MiB segment from positions first .. first + count - 1 into
// buffer (kSegmentSize bytes): the first position whose read delivers the
// whole segment, not all of it zero, wins. A failed or short read, or a
// segment of zeros only (noted), moves on to the next position and the
// buffer is cleared, so no bytes of an earlier read survive. Returns false
// when no position could be read. A failed seek raises code 11.
bool ReadFirstAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                          uint8_t* buffer);

// ReadFirstAlternative that says which position it read. With acceptZeros a
// segment of zeros is taken like any other (and flagged): for a piece of a
// second index, which is legitimately empty when the index ends before it,
// the caller decides once it knows whether the piece's records are needed.
struct AlternativeRead {
    int position = -1;  // the position read; -1 when none could be
    bool zeros = false; // what it read holds only zeros (acceptZeros only)
    explicit operator bool() const { return position >= 0; }
};
AlternativeRead ReadAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                                uint8_t* buffer, bool acceptZeros);
// The note that position p of r held only zeros and was passed over.
void NoteZeroCopy(EvaContext& ctx, const LayoutRecord& r, unsigned p);

// Interleaves four 2 MiB pieces into 8 MiB: chunk k of piece m lands at
// chunk 4k + m of out.
void InterleaveChunks(const uint8_t* const pieces[4], uint8_t* out);

// Where byte r (0 .. 8 MiB - 1) of a stripe lies: position (0..3) and the
// offset inside that position's segment.
struct StripeByte {
    unsigned position;
    uint64_t offsetInSegment;
};
constexpr StripeByte LocateStripeByte(uint64_t r)
{
    return {static_cast<unsigned>((r / kChunkSize) % 4), (r / (4 * kChunkSize)) * kChunkSize + r % kChunkSize};
}

} // namespace corvane
