// Byte-offset access to drives and image files.
//
// Every byte the program reads from a member or writes to an export target
// goes through a JIO. The layer reports failure only through its results
// (false, or no object from the factory); it raises nothing except the
// opening JFile constructor.
#pragma once

#include "disk/Extents.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/uio.h>
#include <string>

namespace JFileHandle {

// What an Open asks for. Members and the source dialog's drive probe never
// need to write, so they open read-only: write-protected evidence (a
// read-only image, a drive behind a write blocker) still opens, and a member
// can never be written by mistake.
enum class Access { ReadOnly, ReadWrite };

class JIO {
public:
    JIO();
    virtual ~JIO();
    JIO(const JIO&) = delete;
    JIO& operator=(const JIO&) = delete;

    // Size in bytes; JDisk asks the block device, JFile the file system.
    virtual uint64_t QuerySize() = 0;
    // Fills description(); returns the characters written (JIO, JFile:
    // "%lluG"; JDisk: "vendor product %lluG"), or an errno value when a
    // drive cannot describe itself. No caller depends on the result.
    virtual int32_t Describe();

    // Opens path. create == false: the path must exist. create == true:
    // the file is created (or replaced) — callers only ask for that after
    // opening the existing path has failed, so nothing is truncated.
    // Narrow paths are bytes in the locale's encoding, wide ones UTF-16.
    virtual bool Open(const char* path, bool create, Access access = Access::ReadWrite);
    virtual bool Open(const std::u16string& path, bool create, Access access = Access::ReadWrite);

    // Reads or writes count bytes at the current position. The whole count
    // is transferred unless end of file is reached or an error occurs;
    // *transferred receives what was moved. Returns false on an error
    // (EINTR and short transfers are retried, not errors). A read at or past
    // the end returns true with *transferred == 0.
    virtual bool Read(void* buffer, uint32_t count, uint64_t* transferred);
    virtual bool Write(const void* buffer, uint32_t count, uint64_t* transferred);
    // Absolute position in bytes from the start; beyond the end is allowed.
    virtual bool Seek(uint64_t offset);
    // Positioned read that leaves the shared position alone, so two users
    // of one descriptor cannot disturb each other.
    virtual bool ReadAt(uint64_t offset, void* buffer, uint32_t count, uint64_t* transferred);
    // Positioned write, the same contract as ReadAt (a write that makes no
    // progress fails with ENOSPC).
    virtual bool WriteAt(uint64_t offset, const void* buffer, uint32_t count, uint64_t* transferred);
    // Writes the buffers of iov back to back from offset (pwritev where
    // there is a descriptor, one WriteAt per buffer otherwise, so doubles
    // see every byte).
    virtual bool WriteVAt(uint64_t offset, const struct iovec* iov, int count, uint64_t* transferred);
    // Makes written data durable (fdatasync); true where there is nothing
    // to flush.
    virtual bool Sync();

    // Bytes known to be unreadable before anything is read: what a ddrescue
    // mapfile of this image does not mark rescued. Reads never take these
    // bytes as data (see ReadCarefully).
    void SetKnownUnreadable(ExtentSet bytes) { m_knownUnreadable = std::move(bytes); }
    const ExtentSet& KnownUnreadable() const { return m_knownUnreadable; }

    // For a block device whose logical sectors are smaller than a page:
    // the sector size, once a second descriptor with O_DIRECT could be
    // opened on it (0 otherwise). Lets a failed page be narrowed to the
    // sectors that really fail.
    virtual uint32_t DirectSectorSize() { return 0; }
    // Reads whole sectors with O_DIRECT into an aligned buffer.
    virtual bool ReadDirectAt(uint64_t offset, void* alignedBuffer, uint32_t count, uint64_t* transferred);

    bool IsOpen() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }
    uint64_t Size() const { return m_size; }
    const char* Description() const { return m_description; }
    // The path as opened (after drive-name resolution).
    const std::string& OpenedPath() const { return m_openedPath; }

protected:
    // pwritev of all of iov from offset on this descriptor, going on after
    // short writes and interruptions; the one write loop of the class.
    bool WritePositioned(uint64_t offset, const struct iovec* iov, int count, uint64_t* transferred);

    int m_fd = -1;
    ExtentSet m_knownUnreadable;
    char m_description[1024];
    uint64_t m_size = 0;
    std::string m_openedPath;
};

// A physical drive: size from the block device, description from sysfs.
// Opened on a regular file its size query fails, so its size stays 0 and its
// description empty.
class JDisk : public JIO {
public:
    JDisk() = default;
    ~JDisk() override;
    uint64_t QuerySize() override;
    int32_t Describe() override;
    uint32_t DirectSectorSize() override;
    bool ReadDirectAt(uint64_t offset, void* alignedBuffer, uint32_t count, uint64_t* transferred) override;

private:
    // Opened once, on first need, by whichever thread reads first.
    std::once_flag m_directOnce;
    int m_directFd = -1;
    uint32_t m_sector = 0;
};

// An image file: size from fstat.
class JFile : public JIO {
public:
    JFile() = default;
    // Opens at once; raises error code 1 when the open fails.
    JFile(const std::u16string& path, bool create, Access access = Access::ReadWrite);
    uint64_t QuerySize() override;
};

// Opens path as a drive, then as a file; with create, makes a new empty file
// when neither open succeeded. An existing file is never truncated.
std::unique_ptr<JIO> OpenDiskOrFile(const char* path, bool create, Access access);
std::unique_ptr<JIO> OpenDiskOrFile(const std::u16string& path, bool create, Access access);

// UTF-16 to UTF-8 (what open(2) gets for a wide path); false on an unpaired
// surrogate.
bool Utf16ToUtf8(const std::u16string& in, std::string& out);

} // namespace JFileHandle
