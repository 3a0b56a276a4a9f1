// The export target: the image file or disk device a LUN is copied to, and
// the checks that keep an export from writing over its own sources or over
// a disk the system is using.
#pragma once

#include "engine/Context.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace corvane {

struct StripeSlot;

struct ExportTarget {
    std::unique_ptr<JIO> io; // none until a target was opened
    std::string path;        // as the user named it, for messages
    bool device = false;     // a block device
    // The handle is a plain file or drive descriptor: a stripe is written
    // with one gathering write straight from its segments, without the 8 MiB
    // interleave copy. Set by ExportLun.
    bool gather = false;
    // The target is a regular file: good segments read from regular-file
    // members are copied by the kernel (copy_file_range) from the member to
    // the target, which costs about half of writing the same bytes from a
    // buffer. Cleared for the rest of the export when the file systems
    // cannot do it. Set by ExportLun.
    std::atomic<bool> copyOffload{false};

    // Writes the slot's 8 MiB at the handle's position. Returns 0 when all
    // of it was written, else the error code (8: the write failed; 9: a
    // segment found readable moments before could not be read into the
    // buffer) with error naming what, where and why.
    int WriteStripe(StripeSlot& slot, std::string& error);
    // Makes what was written durable where the data would otherwise wait in
    // the page cache for a disk that may fail it later (block devices).
    bool Flush(std::string& error);

    uint64_t position = 0; // where the next stripe goes (for messages)

private:
    bool WriteStripeCopying(StripeSlot& slot, int& err, std::string& readError);
};

// Opens path (a file path, or a drive name / device node) as the context's
// export target: read-write, created when missing, never truncated. Refuses
// with error 1 and a reason naming the path, before anything is written:
// a target that is one of the sources (same file, same device, a partition
// of a source drive or a drive holding a source partition), a file on a
// file system that lives on a source drive, a disk device that is mounted,
// used as swap or held by another device (a partition included), and a disk
// device smaller than startOffset + bytesNeeded (both sizes named). A target
// that cannot be opened is error 1 as well. The previous target is closed
// first; after a refusal the context has no target.
void OpenExportTarget(EvaContext& ctx, const std::string& path, uint64_t startOffset, uint64_t bytesNeeded);
void OpenExportTarget(EvaContext& ctx, const std::u16string& path, uint64_t startOffset, uint64_t bytesNeeded);

// Where the system says what a block device is made of and who uses it.
struct SystemPaths {
    std::string sysDevBlock = "/sys/dev/block";
    std::string mounts = "/proc/self/mounts";
    std::string swaps = "/proc/swaps";
};

// A source as the checks see it.
struct SourceIdentity {
    std::string path;
    struct stat st {};
};

// The sources of the context: every member's open handle (or its path when
// the handle has no descriptor) and every source path that exists.
std::vector<SourceIdentity> SourceIdentities(const EvaContext& ctx);

// Why writing to target (named shown) would harm a source, a mounted file
// system or a device in use; empty when it would not.
std::string TargetConflict(const std::string& shown, const struct stat& target,
                           const std::vector<SourceIdentity>& sources, const SystemPaths& sys = {});

// Whether block devices a and b share storage: the same device, one a
// partition of the other, or built (device-mapper, RAID) on such devices.
bool DevicesOverlap(dev_t a, dev_t b, const SystemPaths& sys = {});

} // namespace corvane
