// One stripe position as the export sees it: where its bytes are and which
// of them are present, and the per-byte-range rebuild of a stripe from
// those states.
#pragma once

#include "disk/Extents.h"
#include "disk/Io.h"
#include "engine/Context.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane {

using JFileHandle::ExtentSet;

inline constexpr unsigned kStripePositions = 5; // four data segments and parity

// Where the bytes of a position are.
enum class SegmentSource : uint8_t {
    Absent,   // no member at its slot: every byte is unreadable
    Buffer,   // in its buffer; `unreadable` lists what could not be read
    Kernel,   // not read: the writer has the kernel copy it member to target
    OnDemand, // not read: the ranges a rebuild needs are read when needed
};

struct SegmentState {
    SegmentSource source = SegmentSource::Absent;
    MemberDisk* member = nullptr;
    uint64_t offset = 0;       // of the segment on the member
    // The segment's bytes from segment offset `first` on: the whole
    // segment (first 0, kSegmentSize bytes) for the export, or only the
    // window a range read touches.
    uint8_t* buffer = nullptr;
    uint64_t first = 0;
    // Offsets inside the segment: bytes that could not be read (zero in
    // the buffer), and bytes the buffer holds as read.
    ExtentSet unreadable;
    ExtentSet loaded;

    // Where segment offset x is kept.
    uint8_t* At(uint64_t x) const { return buffer + (x - first); }

    void Reset(SegmentSource s, MemberDisk* m, uint64_t at, uint8_t* buf, uint64_t windowStart = 0)
    {
        source = s;
        member = m;
        offset = at;
        buffer = buf;
        first = windowStart;
        unreadable.Clear();
        loaded.Clear();
    }
};

// The unit of a parity check: the five segments of a stripe agree when, at
// every offset of the block, the exclusive-or of their bytes is zero.
inline constexpr uint64_t kParityBlock = 4096;

// What a parity check of one stripe found, in 4 KiB blocks of its segments.
struct ParityOutcome {
    uint32_t consistent = 0;
    uint32_t inconsistent = 0;
    uint32_t unverifiable = 0; // a position absent or unreadable in the block
    // LUN offsets of the data bytes at inconsistent blocks (all four data
    // positions: parity cannot tell which of the five is wrong).
    ExtentSet inconsistentRanges;
};

// What one stripe gave, in LUN data bytes (the parity is not counted).
struct StripeOutcome {
    uint64_t read = 0;    // taken as read from their own segment
    uint64_t rebuilt = 0; // rebuilt from the other four positions
    uint64_t lost = 0;    // written as zeros: two or more positions unreadable there
    ExtentSet lostRanges; // LUN offsets
    uint32_t segmentsWithLoss = 0;
    ParityOutcome parity; // filled only when the export checks parity
};

// Reads [from, from + length) of a position's segment into its buffer
// (Kernel and OnDemand positions), adding what fails to `unreadable`.
// Returns false when the member refused the position (error names it).
bool LoadRange(SegmentState& s, uint64_t from, uint64_t length, const JFileHandle::ReadPolicy& policy,
               std::string& error);

// Segment offsets each data position of a stripe must deliver.
using StripeNeeds = std::array<ExtentSet, 4>;

// Ranges of one position to bring into its buffer.
struct RangeLoad {
    SegmentState* segment = nullptr;
    ExtentSet ranges;
};
// Brings in a set of loads, one per position; may run them in parallel.
// False with error when a member refused a position.
using LoadBatchFn = std::function<bool(std::vector<RangeLoad>& loads, std::string& error)>;
// The loads one after another on the caller's thread.
bool LoadInTurn(std::vector<RangeLoad>& loads, const JFileHandle::ReadPolicy& policy, std::string& error);

// The rebuild rules for the bytes `wanted` of the data positions of stripe
// number `stripe`: taken as read where their segment reads, rebuilt as the
// exclusive-or of the other four where only it is unreadable, zero where
// two or more are. Brings in the wanted ranges first, then, where one of
// them is unreadable, the same bytes of the other data positions, and the
// parity only where exactly one data position is unreadable. Loads go
// through `batch` (empty: LoadInTurn). The outcome counts the wanted bytes.
bool ResolveRanges(uint64_t stripe, const std::array<SegmentState*, kStripePositions>& seg, const StripeNeeds& wanted,
                   const JFileHandle::ReadPolicy& policy, StripeOutcome& out, std::string& error,
                   const LoadBatchFn& batch = {});

// Brings in what stripe number `stripe` needs and builds its data in the
// four data buffers: a byte of a data position is taken as read where its
// segment read there, rebuilt as the exclusive-or of the other four where
// only it is unreadable there, and zero where two or more are. A stripe
// whose four data positions are whole is left as it is (Kernel positions
// stay for the in-kernel copy) unless keepKernel is false, which reads
// every data position into its buffer. The parity is read only where a
// rebuild needs it. Returns false when a member refused a position.
bool ResolveStripe(uint64_t stripe, const std::array<SegmentState*, kStripePositions>& seg, bool keepKernel,
                   const JFileHandle::ReadPolicy& policy, StripeOutcome& out, std::string& error);

// The LUN byte ranges that bytes [from, from + length) of data position p
// of stripe number `stripe` carry, added to out.
void AddLunRanges(uint64_t stripe, unsigned p, uint64_t from, uint64_t length, ExtentSet& out);

// Checks the parity of stripe number `stripe` per 4 KiB block, on the bytes
// as read: every position must be in its buffer (a parity check reads them
// all). Blocks where a position is absent or has unreadable bytes are
// unverifiable.
void CheckParity(uint64_t stripe, const std::array<SegmentState*, kStripePositions>& seg, ParityOutcome& out);

// a ^= b over n bytes.
void XorInto(uint8_t* a, const uint8_t* b, uint64_t n);

} // namespace corvane
