// The export target: the image file or disk device a LUN is copied to, and
// the checks that keep an export from writing over its own sources or over
// a disk the system is using.
#pragma once

#include "disk/Io.h"
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
    // Good segments of regular-file members are copied by the kernel
    // (copy_file_range) from the member to a regular-file target on the same
    // file system, which costs about half of writing the same bytes from a
    // buffer. Cleared for the rest of the export when the kernel cannot.
    std::atomic<bool> kernelCopy{false};
    uint64_t start = 0; // where stripe 0 goes on the target; set by ExportLun
    // An image file: all-zero 4 KiB blocks are punched as holes instead of
    // written (and the kernel copy is off, since the bytes must be seen).
    bool sparse = false;
    // A descriptor that is written in order and cannot seek, sync or be
    // read back (standard output, a pipe): stripes go out in LUN order
    // from offset 0 with plain writes.
    bool stream = false;

    // Writes the slot's stripe at start + stripe x 8 MiB. Returns 0 when all
    // of it was written, else the error code (8: the write failed; 11: a
    // member refused a position the writer had to read after all) with
    // error naming what, where and why.
    int WriteStripe(StripeSlot& slot, const JFileHandle::ReadPolicy& policy, std::string& error);
    int WriteSparse(StripeSlot& slot, uint64_t at, std::string& error);
    // Makes what was written durable (fdatasync), image files included.
    bool Flush(std::string& error);
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
// Makes descriptor fd (standard output) the context's export target, as a
// stream named `shown` in messages. Refused with error 1 like a path: a
// descriptor that is not open for writing, or that is one of the sources
// (standard output redirected onto a member).
void OpenExportStream(EvaContext& ctx, int fd, const std::string& shown);

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

// A field of a mount table (/proc/mounts, mountinfo), whose blanks and
// backslashes are written as octal escapes (\040), as it stands on disk.
std::string UnescapeMountField(const std::string& field);

} // namespace corvane
