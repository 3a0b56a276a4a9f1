// Address rules: from a layout record's positions to members and byte
// offsets, the reading of one segment from a group of alternatives, the
// 128 KiB interleave and the stripe geometry. Shared by analysis and export.
#pragma once

#include "engine/Context.h"

#include <cstdint>
#include <string>

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

// An offset or size in messages: "0x" and lower-case hex digits, no padding.
std::string Hex(uint64_t v);

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
// segment of zeros only (noted), moves on to the next position. When no
// position reads whole, the copies that read in part are put together byte
// by byte (noted): that counts as a read when every byte reads in one of
// them. Returns false when no position could be read, and then the buffer
// is all zero. A failed seek raises code 11.
bool ReadFirstAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                          uint8_t* buffer);

// ReadFirstAlternative that says which position it read and which bytes
// matter. With acceptZeros a segment of zeros is taken like any other (and
// flagged): for a piece of a second index, which is legitimately empty when
// the index ends before it, the caller decides once it knows whether the
// piece's records are needed. When no copy reads whole, the merge counts as
// a read when no byte of `needed` (segment offsets) is missing; the caller
// checks any other byte it goes on to use against `missing`.
struct AlternativeRead {
    int position = -1;   // the position read, or the first copy a merge took; -1: none
    bool zeros = false;  // what it read holds only zeros (acceptZeros only)
    bool merged = false; // no copy read whole: put together from the copies that read in part
    // Segment offsets that read in no copy (zero in the buffer).
    JFileHandle::ExtentSet missing;
    // The copies that read in part or not at all, for messages: source,
    // offset and what did not read of each.
    std::string copies;
    explicit operator bool() const { return position >= 0; }
};
inline const JFileHandle::ExtentSet kWholeSegment{{0, kSegmentSize}};
// `what` names the segment in notes ("the header of LUN index record 3 of
// block 0"); empty: by its row and positions.
AlternativeRead ReadAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                                uint8_t* buffer, bool acceptZeros,
                                const JFileHandle::ExtentSet& needed = kWholeSegment,
                                const std::string& what = {});
// The note that position p of r held only zeros and was passed over.
void NoteZeroCopy(EvaContext& ctx, const LayoutRecord& r, unsigned p);

// The ranges of a set that touch [offset, offset + length), whole: the
// unreadable run a needed byte lies in, for messages.
JFileHandle::ExtentSet Touching(const JFileHandle::ExtentSet& ranges, uint64_t offset, uint64_t length);

// Byte ranges for messages, moved up by base: "0x5001000 (+4096), 0x5003000
// (+512)", at most four of them and how many more.
std::string DescribeRanges(const JFileHandle::ExtentSet& ranges, uint64_t base = 0);

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
