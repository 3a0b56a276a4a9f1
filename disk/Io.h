// The reads, writes and copies the analysis and the export make, on top of
// JIO: a read that finds out exactly which bytes cannot be read, a
// positioned copy inside the kernel, and errors that say which source,
// where, how much and why.
#pragma once

#include "disk/Extents.h"
#include "disk/JIO.h"

#include <cstdint>
#include <string>

namespace JFileHandle {

// One failed transfer.
struct IoError {
    std::string op = "read"; // "read", "write", "copy", "sync"
    std::string source;      // path as opened
    uint64_t offset = 0;
    uint64_t length = 0;
    int err = 0; // errno
    // "read failed: disk3.img at 0x1f400000 (+65536): Input/output error"
    std::string Message() const;
};

// errno values for which the platform refuses the position itself (an
// offset beyond what the descriptor can address), as opposed to a medium
// that cannot deliver the bytes: EOVERFLOW, ESPIPE.
bool PositionRefused(int err);

struct ReadPolicy {
    // Extra tries of a block that failed (the first failure counts as one
    // try), as ddrescue's --retry-passes.
    unsigned retries = 1;
    // The unit a failed part is narrowed to: the page, which is what a
    // buffered reader sees of a failing medium.
    uint32_t block = 4096;
    // On a block device with small logical sectors, narrow a failed page
    // further with O_DIRECT.
    bool sectors = true;
};

struct ReadOutcome {
    // Bytes of the request, as source offsets, that could not be read: a
    // failing medium, a vanished source, bytes past its end, or bytes its
    // imaging map does not mark rescued. They are zero in the buffer.
    ExtentSet unreadable;
    // Non-zero: the platform refused the offset (PositionRefused); the
    // buffer holds nothing valid from there on.
    int refused = 0;
    // The OS reason of the last failed block, for messages.
    IoError lastError;
    uint64_t tries = 0; // read calls made
    // Where the source was found to end inside the request (UINT64_MAX:
    // it did not); everything from there on is in unreadable.
    uint64_t endOfSource = UINT64_MAX;

    bool Whole() const { return refused == 0 && unreadable.Empty(); }
};

// Reads [offset, offset + length) of io into buffer, the way ddrescue
// copies, trims and scrapes: the readable bytes are read once in large
// requests; where a request fails or comes back short, the failed block
// (policy.block) is tried policy.retries more times, then, on a block
// device opened with O_DIRECT, sector by sector, and what still fails is
// recorded and zero-filled. Bytes io knows to be unreadable (its imaging
// map) are not read at all. Any errno but a refused position means
// "unreadable": EIO, EINVAL, ENXIO, ENODEV, a vanished FUSE file.
ReadOutcome ReadCarefully(JIO& io, uint64_t offset, void* buffer, uint64_t length, const ReadPolicy& policy = {});

// Whether CopyInKernel may move bytes from `from` to `to`: both plain
// descriptors on regular files of one file system, with no known
// unreadable bytes on the source. Test doubles have no descriptor and so
// always go through ReadAt/WriteAt.
bool CanCopyInKernel(const JIO& from, const JIO& to);

// copy_file_range of length bytes, looping on short copies. Returns the
// bytes copied; on failure *err holds errno (EXDEV, EINVAL, ENOSYS,
// EOPNOTSUPP: not possible here; anything else: a read or write failed).
uint64_t CopyInKernel(JIO& from, uint64_t fromOffset, JIO& to, uint64_t toOffset, uint64_t length, int* err);

} // namespace JFileHandle
