#include "disk/JIO.h"

#include "disk/Drives.h"
#include "disk/Text.h"

#include <algorithm>
#include <cerrno>
#include <vector>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace JFileHandle {

JIO::JIO()
{
    std::memset(m_description, 0, sizeof m_description);
}

JIO::~JIO()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int32_t JIO::Describe()
{
    std::memset(m_description, 0, sizeof m_description);
    return std::snprintf(m_description, sizeof m_description, "%lluG",
                         static_cast<unsigned long long>(m_size >> 30));
}

bool JIO::Open(const char* path, bool create, Access access)
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    const std::string resolved = ResolveDrivePath(path ? path : "");
    // Without waiting: a FIFO with no writer would block the open for ever.
    // The flag is cleared again once the descriptor is there.
    int flags = O_CLOEXEC | O_NONBLOCK | (access == Access::ReadOnly ? O_RDONLY : O_RDWR);
    if (create) {
        // A new file: O_CREAT without O_TRUNC, so a file that appeared in the
        // meantime (or one the first open could not take) keeps its bytes.
        if (access == Access::ReadOnly)
            return false;
        flags |= O_CREAT;
    }
    int fd;
    do {
        fd = ::open(resolved.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0)
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    m_fd = fd;
    m_openedPath = resolved;
    QuerySize();
    return true;
}

bool JIO::Open(const std::u16string& path, bool create, Access access)
{
    std::string narrow;
    if (Utf16ToNarrow(path, narrow) != ConvertResult::Ok)
        return false;
    return Open(narrow.c_str(), create, access);
}

bool JIO::Read(void* buffer, uint32_t count, uint64_t* transferred)
{
    uint64_t done = 0;
    auto* p = static_cast<unsigned char*>(buffer);
    bool ok = true;
    while (done < count) {
        ssize_t n = ::read(m_fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break; // end of file
        done += static_cast<uint64_t>(n);
    }
    if (transferred)
        *transferred = done;
    return ok;
}

bool JIO::ReadAt(uint64_t offset, void* buffer, uint32_t count, uint64_t* transferred)
{
    uint64_t done = 0;
    auto* p = static_cast<unsigned char*>(buffer);
    bool ok = true;
    if (offset > static_cast<uint64_t>(INT64_MAX) - count) {
        ok = false;
        errno = EOVERFLOW; // an offset the platform cannot address
    }
    while (ok && done < count) {
        ssize_t n = ::pread(m_fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    if (transferred)
        *transferred = done;
    return ok;
}

bool JIO::WriteAt(uint64_t offset, const void* buffer, uint32_t count, uint64_t* transferred)
{
    const struct iovec one = {const_cast<void*>(buffer), count};
    return WritePositioned(offset, &one, 1, transferred);
}

bool JIO::WriteVAt(uint64_t offset, const struct iovec* iov, int count, uint64_t* transferred)
{
    if (m_fd >= 0)
        return WritePositioned(offset, iov, count, transferred);
    uint64_t done = 0;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        uint64_t n = 0;
        ok = WriteAt(offset + done, iov[i].iov_base, static_cast<uint32_t>(iov[i].iov_len), &n);
        done += n;
    }
    if (transferred)
        *transferred = done;
    return ok;
}

bool JIO::WritePositioned(uint64_t offset, const struct iovec* iov, int count, uint64_t* transferred)
{
    uint64_t done = 0;
    bool ok = true;
    uint64_t total = 0;
    for (int i = 0; i < count; ++i)
        total += iov[i].iov_len;
    if (offset > static_cast<uint64_t>(INT64_MAX) - total) {
        errno = EOVERFLOW;
        if (transferred)
            *transferred = 0;
        return false;
    }
    // pwritev may stop short: go on from where it stopped.
    std::vector<struct iovec> rest(iov, iov + count);
    size_t first = 0;
    while (first < rest.size()) {
        const ssize_t n = ::pwritev(m_fd, rest.data() + first, static_cast<int>(std::min<size_t>(rest.size() - first, 1024)),
                                    static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            ok = false;
            break;
        }
        if (n == 0) {
            errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<uint64_t>(n);
        size_t left = static_cast<size_t>(n);
        while (first < rest.size() && left >= rest[first].iov_len) {
            left -= rest[first].iov_len;
            ++first;
        }
        if (left > 0) {
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
            rest[first].iov_len -= left;
        }
    }
    if (transferred)
        *transferred = done;
    return ok;
}

bool JIO::Sync()
{
    if (m_fd < 0)
        return true;
    int r;
    do {
        r = ::fdatasync(m_fd);
    } while (r != 0 && errno == EINTR);
    // Pipes and character devices have nothing to flush.
    return r == 0 || errno == EINVAL || errno == EROFS;
}

bool JIO::ReadDirectAt(uint64_t, void*, uint32_t, uint64_t* transferred)
{
    if (transferred)
        *transferred = 0;
    errno = ENOTSUP;
    return false;
}

bool JIO::Write(const void* buffer, uint32_t count, uint64_t* transferred)
{
    uint64_t done = 0;
    const auto* p = static_cast<const unsigned char*>(buffer);
    bool ok = true;
    while (done < count) {
        ssize_t n = ::write(m_fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            ok = false;
            break;
        }
        if (n == 0) { // no progress: the device is full
            errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<uint64_t>(n);
    }
    if (transferred)
        *transferred = done;
    return ok;
}

bool JIO::Seek(uint64_t offset)
{
    if (m_fd < 0 || offset > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return false;
    }
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

uint64_t JDisk::QuerySize()
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISBLK(st.st_mode))
        return m_size; // not a drive: size stays as it was
    uint64_t bytes = 0;
    if (::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0)
        m_size = bytes;
    return m_size;
}

JDisk::~JDisk()
{
    if (m_directFd >= 0)
        ::close(m_directFd);
}

uint32_t JDisk::DirectSectorSize()
{
    std::call_once(m_directOnce, [this] {
        struct stat st {}, dst {};
        int sector = 0;
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISBLK(st.st_mode) || ::ioctl(m_fd, BLKSSZGET, &sector) != 0 ||
            sector <= 0 || sector >= 4096 || 4096 % sector != 0)
            return;
        const int fd = ::open(m_openedPath.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
        // The same device, or nothing: the path may have been reused.
        if (fd >= 0 && ::fstat(fd, &dst) == 0 && S_ISBLK(dst.st_mode) && dst.st_rdev == st.st_rdev) {
            m_directFd = fd;
            m_sector = static_cast<uint32_t>(sector);
        } else if (fd >= 0) {
            ::close(fd);
        }
    });
    return m_sector;
}

bool JDisk::ReadDirectAt(uint64_t offset, void* alignedBuffer, uint32_t count, uint64_t* transferred)
{
    if (transferred)
        *transferred = 0;
    if (DirectSectorSize() == 0 || offset % m_sector || count % m_sector ||
        offset > static_cast<uint64_t>(INT64_MAX) - count) {
        errno = EINVAL;
        return false;
    }
    uint64_t done = 0;
    auto* p = static_cast<unsigned char*>(alignedBuffer);
    while (done < count) {
        const ssize_t n = ::pread(m_directFd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    if (transferred)
        *transferred = done;
    return done == count;
}

int32_t JDisk::Describe()
{
    std::memset(m_description, 0, sizeof m_description);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return errno;
    if (!S_ISBLK(st.st_mode))
        return ENOTBLK;
    std::string vendor, model;
    DeviceVendorModel(major(st.st_rdev), minor(st.st_rdev), vendor, model);
    return std::snprintf(m_description, sizeof m_description, "%s %s %lluG", vendor.c_str(),
                         model.c_str(), static_cast<unsigned long long>(m_size >> 30));
}

JFile::JFile(const std::u16string& path, bool create, Access access)
{
    if (!Open(path, create, access))
        throw std::runtime_error("1");
}

uint64_t JFile::QuerySize()
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        m_size = 0;
        return 0;
    }
    m_size = static_cast<uint64_t>(st.st_size);
    return m_size;
}

namespace {
template <typename Path>
std::unique_ptr<JIO> OpenDiskOrFileImpl(const Path& path, bool create, Access access)
{
    auto disk = std::make_unique<JDisk>();
    if (disk->Open(path, false, access))
        return disk;
    disk.reset();
    auto file = std::make_unique<JFile>();
    if (file->Open(path, false, access))
        return file;
    if (!create)
        return nullptr;
    if (file->Open(path, true, access))
        return file;
    return nullptr;
}
} // namespace

std::unique_ptr<JIO> OpenDiskOrFile(const char* path, bool create, Access access)
{
    return OpenDiskOrFileImpl(path, create, access);
}

std::unique_ptr<JIO> OpenDiskOrFile(const std::u16string& path, bool create, Access access)
{
    return OpenDiskOrFileImpl(path, create, access);
}

bool Utf16ToUtf8(const std::u16string& in, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

} // namespace JFileHandle
