#include "disk/Drives.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>

namespace JFileHandle {

namespace {

std::string ReadSysText(const std::string& path)
{
    std::ifstream f(path);
    if (!f)
        return {};
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

bool LeftOut(const std::string& name)
{
    return name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0;
}

} // namespace

std::vector<DriveInfo> ListDrives(const std::string& sysBlock)
{
    std::vector<DriveInfo> drives;
    DIR* dir = ::opendir(sysBlock.c_str());
    if (!dir)
        return drives;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || LeftOut(name))
            continue;
        // sysfs sizes count 512-byte sectors whatever the logical block size.
        const std::string sizeText = ReadSysText(sysBlock + "/" + name + "/size");
        unsigned long long sectors = 0;
        if (sizeText.empty() || std::sscanf(sizeText.c_str(), "%llu", &sectors) != 1 || sectors == 0)
            continue;
        drives.push_back({name, "/dev/" + name, static_cast<uint64_t>(sectors) * 512u});
    }
    ::closedir(dir);
    std::sort(drives.begin(), drives.end(), [](const DriveInfo& a, const DriveInfo& b) {
        if (a.kernelName.size() != b.kernelName.size())
            return a.kernelName.size() < b.kernelName.size();
        return a.kernelName < b.kernelName;
    });
    return drives;
}

std::string DriveName(int n)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "\\\\.\\Physicaldrive%d", n);
    return buf;
}

std::u16string DriveNameW(int n)
{
    const std::string s = DriveName(n);
    return std::u16string(s.begin(), s.end());
}

std::optional<int> ParseDriveName(const std::string& path)
{
    static const std::string prefix = "\\\\.\\physicaldrive";
    if (path.size() <= prefix.size() || path.size() > prefix.size() + 9)
        return std::nullopt;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(path[i])) != prefix[i])
            return std::nullopt;
    int n = 0;
    for (size_t i = prefix.size(); i < path.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(path[i])))
            return std::nullopt;
        n = n * 10 + (path[i] - '0');
    }
    return n;
}

std::string ResolveDrivePath(const std::string& path, const std::string& sysBlock)
{
    auto n = ParseDriveName(path);
    if (!n)
        return path;
    const auto drives = ListDrives(sysBlock);
    if (*n < 0 || static_cast<size_t>(*n) >= drives.size())
        return "/dev/corvane-no-drive-" + std::to_string(*n);
    return drives[static_cast<size_t>(*n)].devNode;
}

void DeviceVendorModel(unsigned major, unsigned minor, std::string& vendor, std::string& model)
{
    const std::string base = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    vendor = ReadSysText(base + "/device/vendor");
    model = ReadSysText(base + "/device/model");
    if (vendor.empty() && model.empty()) {
        // A partition: its disk's device directory is one level up.
        vendor = ReadSysText(base + "/../device/vendor");
        model = ReadSysText(base + "/../device/model");
    }
    // Devices without identification (loop, device-mapper, virtio): name the
    // kind so the user still sees what the drive is.
    std::string kernel;
    {
        std::ifstream uevent(base + "/uevent");
        std::string line;
        while (std::getline(uevent, line))
            if (line.rfind("DEVNAME=", 0) == 0)
                kernel = line.substr(8);
    }
    if (vendor.empty())
        vendor = "Linux";
    if (model.empty())
        model = kernel.empty() ? "block-device" : kernel;
}

} // namespace JFileHandle
