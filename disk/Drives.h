// Drive names. "\\.\Physicaldrive%d" names drive N; on Linux drive N is the
// N-th whole-disk block device of /sys/block, ordered by name length and then
// bytewise (sda, sdb, vda, loop0, loop1, nvme0n1, ...). ram*, zram* and
// devices of size 0 (an unattached loop device, an empty card reader) are
// left out, so numbers only name drives that could hold data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace JFileHandle {

struct DriveInfo {
    std::string kernelName; // "sdb"
    std::string devNode;    // "/dev/sdb"
    uint64_t sizeBytes = 0; // from sysfs, for display only
};

// The whole-disk devices in drive-number order. sysBlock is the /sys/block
// directory (tests pass a fake tree).
std::vector<DriveInfo> ListDrives(const std::string& sysBlock = "/sys/block");

// "\\.\Physicaldrive%d" for drive number n.
std::string DriveName(int n);
std::u16string DriveNameW(int n);

// If path is a drive name ("\\.\Physicaldrive3", case-insensitive), its
// number; otherwise none.
std::optional<int> ParseDriveName(const std::string& path);

// What open(2) should get for path: the /dev node of a drive name, or the
// path unchanged. A drive name whose number names no drive resolves to a
// path that does not exist, so the open fails as for a missing drive.
std::string ResolveDrivePath(const std::string& path, const std::string& sysBlock = "/sys/block");

// The sysfs text of a block device for its description: vendor and model
// (trimmed), with stand-ins where the device has none.
void DeviceVendorModel(unsigned major, unsigned minor, std::string& vendor, std::string& model);

} // namespace JFileHandle
