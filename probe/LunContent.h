// What a LUN holds, as libblkid sees it: the partition table and its
// partitions, the file system on each partition and on the LUN as a whole.
// Only the ranges the probe needs are read (the head and tail of the LUN
// and of each partition, the extended-partition chain, an NTFS volume's
// MFT records); libblkid gets a descriptor of the LUN's size that reads as
// zeros everywhere else.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane {

class EvaContext;
struct LunEntry;

struct FileSystemInfo {
    std::string type; // libblkid's name ("ext4", "vfat", "ntfs", ...); empty: none recognised
    std::string version;
    std::string label; // UTF-8 (invalid bytes and control characters read as '?')
    std::string uuid;
    bool Recognised() const { return !type.empty(); }
};

struct PartitionInfo {
    int number = 0;
    uint64_t start = 0; // bytes from the start of the LUN
    uint64_t size = 0;  // bytes
    std::string type;   // "0x83" (an MBR type byte) or the GPT type GUID
    std::string name;   // the GPT partition name
    std::string uuid;   // the GPT partition GUID
    bool extended = false; // an MBR extended partition: it holds the logical ones
    FileSystemInfo fs;
};

struct LunContent {
    std::string tableType; // "dos", "gpt", ...; empty: no partition table
    std::string tableId;   // the disk identifier or GUID
    std::vector<PartitionInfo> partitions;
    FileSystemInfo fs; // a file system on the LUN as a whole
    uint64_t bytesRead = 0; // LUN bytes the probe read
    uint64_t lostBytes = 0; // of those, bytes no member or parity gave: probed as zeros
    // Reads the members refused or the probe could not set up, one line
    // each; the probe went on with zeros there.
    std::vector<std::string> errors;

    bool Recognised() const { return !tableType.empty() || fs.Recognised(); }
};

// Reads [offset, offset + length) of the LUN into buffer. Returns false
// with error set when the members refuse; `lost` gets the bytes of the
// range that could not be recovered (zero in the buffer).
using LunRangeRead =
    std::function<bool(uint64_t offset, void* buffer, uint64_t length, uint64_t& lost, std::string& error)>;

// Probes a LUN of `size` bytes. Never throws for what the LUN holds; a
// failure to set up the probe (no memory file) lands in errors.
LunContent ProbeContent(uint64_t size, const LunRangeRead& read);

// Probes one LUN of an analysed context through the export's stripe
// rules (LunReader): rebuilt from parity where one position is unreadable.
// The members stay as they are; only the probe's ranges are read. Never
// throws: a reader that cannot start lands in errors.
LunContent ProbeLun(const EvaContext& ctx, const LunEntry& lun);

// One line: "nothing recognised", or the table with its partitions and
// their file systems, or the file system on the whole LUN.
std::string ContentText(const LunContent& content);

} // namespace corvane
