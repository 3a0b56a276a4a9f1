// Helpers of the export tests: member images with known segments, stripe
// records made by hand, a fault-injecting wrapper around a real handle, and
// ways to look at the process's threads.
#pragma once

#include "disk/JIO.h"
#include "engine/Context.h"
#include "export/Export.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane::test {

inline constexpr uint64_t kSeg = 0x200000;
inline constexpr uint64_t kRun = 0x800000;
inline constexpr uint64_t kChunk = 0x20000;

// A stripe record (type 20) of row `row` whose position p names column
// cols[p] and segment segs[p].
inline LayoutRecord StripeRecord(uint8_t row, const std::array<uint8_t, 5>& cols, const std::array<uint32_t, 5>& segs)
{
    LayoutRecord r;
    r.raw[0] = 20;
    r.raw[1] = row;
    for (unsigned p = 0; p < 5; ++p) {
        r.raw[5 + p] = static_cast<uint8_t>(((segs[p] >> 16) & 0x0F) << 4 | (cols[p] & 0x0F));
        r.raw[14 + 2 * p] = static_cast<uint8_t>(segs[p] >> 8);
        r.raw[15 + 2 * p] = static_cast<uint8_t>(segs[p]);
    }
    return r;
}

// Deterministic bytes of data segment `segment` of member `member`.
inline void FillSegment(uint32_t member, uint32_t segment, uint8_t* out)
{
    uint64_t x = (static_cast<uint64_t>(member) << 32) ^ (segment * 0x9E3779B97F4A7C15ull) ^ 0x1234567;
    for (uint64_t i = 0; i < kSeg; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(out + i, &x, 8);
    }
}

// LUN byte X of a stripe comes from data position (X / 128K) % 4 at
// (X / 512K) x 128K + X % 128K of its segment; written out here on purpose
// instead of calling the engine's interleave.
inline void Interleave(const std::array<const uint8_t*, 4>& d, uint8_t* out)
{
    for (uint64_t x = 0; x < kRun; x += kChunk)
        std::memcpy(out + x, d[(x / kChunk) % 4] + (x / (4 * kChunk)) * kChunk, kChunk);
}

inline std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, uint64_t len)
{
    std::vector<uint8_t> out(len);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    uint64_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, out.data() + done, len - done, static_cast<off_t>(offset + done));
        if (n <= 0)
            break;
        done += static_cast<uint64_t>(n);
    }
    ::close(fd);
    out.resize(done);
    return out;
}

inline uint64_t FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// A cheap fingerprint of a whole file, to show a member was not changed.
inline uint64_t Fingerprint(const std::string& path)
{
    uint64_t h = 1469598103934665603ull;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::vector<uint64_t> buf(1 << 17);
    uint64_t offset = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size() * 8);
        if (n <= 0)
            break;
        const size_t words = (static_cast<size_t>(n) + 7) / 8;
        if (static_cast<size_t>(n) % 8)
            std::memset(reinterpret_cast<uint8_t*>(buf.data()) + n, 0, words * 8 - static_cast<size_t>(n));
        for (size_t i = 0; i < words; ++i)
            h = (h ^ buf[i] ^ (offset + i)) * 1099511628211ull;
        offset += words;
        h ^= static_cast<uint64_t>(n);
    }
    ::close(fd);
    return h;
}

// a ^= b over n bytes (n a multiple of 8).
inline void XorInto(uint8_t* a, const uint8_t* b, uint64_t n)
{
    for (uint64_t i = 0; i < n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(a + i, &x, 8);
    }
}

// Starts the threads the runtime adds on the first thread creation (the
// thread sanitizer's background thread), so that counting threads around
// an export sees only the export's own.
inline void WarmUpThreads()
{
    static const bool done = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)done;
}

// Threads of this process.
inline std::set<int> TaskIds()
{
    std::set<int> out;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                out.insert(std::atoi(e->d_name));
        ::closedir(d);
    }
    return out;
}

// Threads of this process once those that were just joined are gone: a
// joined thread can linger in /proc for a moment after pthread_join
// returned, a leaked one stays.
inline std::set<int> TaskIdsSettled(const std::set<int>& expected)
{
    std::set<int> now = TaskIds();
    for (int i = 0; i < 200 && now != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = TaskIds();
    }
    return now;
}

// The scheduler state letter of thread tid ('R', 'S', ...).
inline char TaskState(int tid)
{
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(f, line);
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

// Wraps a real handle and fails chosen operations. Thread-safe: reader
// threads of two cells may share one.
class FaultyIO : public JFileHandle::JIO {
public:
    explicit FaultyIO(std::unique_ptr<JIO> inner) : m_inner(std::move(inner))
    {
        m_size = m_inner->Size();
        m_openedPath = m_inner->OpenedPath();
        m_knownUnreadable = m_inner->KnownUnreadable();
    }

    // Member bytes that fail like bad sectors: a read that starts before
    // one delivers the bytes up to it and then fails with EIO, one that
    // starts inside fails at once, as the kernel's pread loop does. Set
    // before the reads start; reader threads only look at it.
    JFileHandle::ExtentSet bad;
    std::atomic<int> badReads{0}; // reads that `bad` failed or cut short

    // Reads at this byte offset fail with EIO / are refused as a position
    // the platform cannot address (EOVERFLOW) / deliver only `shortBy`
    // bytes less than asked.
    std::atomic<uint64_t> failReadAt{UINT64_MAX};
    std::atomic<uint64_t> refuseReadAt{UINT64_MAX};
    std::atomic<uint64_t> shortReadAt{UINT64_MAX};
    uint64_t shortBy = 4096;
    // A read at this offset first sleeps (a slow spot of the medium).
    std::atomic<uint64_t> slowReadAt{UINT64_MAX};
    std::chrono::milliseconds slowReadDelay{50};
    // Seeks fail; the n-th write (from 1) fails with EIO (0: never).
    std::atomic<bool> failSeek{false};
    std::atomic<int> failWriteNumber{0};
    // Each write sleeps this long first (a slow target).
    std::chrono::milliseconds writeDelay{0};
    // Called inside each write, on the writer thread, after the delay.
    std::function<void(int)> onWrite;

    std::atomic<int> writes{0};
    std::atomic<int> reads{0};

    uint64_t QuerySize() override { return m_size = m_inner->QuerySize(); }
    bool Seek(uint64_t offset) override
    {
        if (failSeek) {
            errno = EIO;
            return false;
        }
        return m_inner->Seek(offset);
    }
    bool Read(void* buffer, uint32_t count, uint64_t* transferred) override
    {
        return m_inner->Read(buffer, count, transferred);
    }
    bool ReadAt(uint64_t offset, void* buffer, uint32_t count, uint64_t* transferred) override
    {
        ++reads;
        if (offset == slowReadAt)
            std::this_thread::sleep_for(slowReadDelay);
        if (offset == failReadAt) {
            if (transferred)
                *transferred = 0;
            errno = EIO;
            return false;
        }
        if (offset == refuseReadAt) {
            if (transferred)
                *transferred = 0;
            errno = EOVERFLOW;
            return false;
        }
        if (const JFileHandle::ExtentSet hit = bad.Within(offset, count); !hit.Empty()) {
            ++badReads;
            const uint64_t before = hit.List().front().offset - offset;
            uint64_t got = 0;
            if (before > 0 && !m_inner->ReadAt(offset, buffer, static_cast<uint32_t>(before), &got)) {
                if (transferred)
                    *transferred = got;
                return false;
            }
            if (transferred)
                *transferred = got;
            // The source ending before the bad bytes is a short read, no error.
            if (got < before)
                return true;
            errno = EIO;
            return false;
        }
        if (offset == shortReadAt) {
            uint64_t got = 0;
            const bool ok = m_inner->ReadAt(offset, buffer, static_cast<uint32_t>(count - shortBy), &got);
            if (transferred)
                *transferred = got;
            return ok;
        }
        return m_inner->ReadAt(offset, buffer, count, transferred);
    }
    // One positioned gathering write per stripe.
    bool WriteVAt(uint64_t offset, const struct iovec* iov, int count, uint64_t* transferred) override
    {
        const int n = ++writes;
        if (writeDelay.count() > 0)
            std::this_thread::sleep_for(writeDelay);
        if (onWrite)
            onWrite(n);
        if (failWriteNumber != 0 && n == failWriteNumber) {
            if (transferred)
                *transferred = 0;
            errno = EIO;
            return false;
        }
        return m_inner->WriteVAt(offset, iov, count, transferred);
    }
    bool WriteAt(uint64_t offset, const void* buffer, uint32_t count, uint64_t* transferred) override
    {
        return m_inner->WriteAt(offset, buffer, count, transferred);
    }
    bool Sync() override { return m_inner->Sync(); }
    bool Write(const void* buffer, uint32_t count, uint64_t* transferred) override
    {
        const int n = ++writes;
        if (writeDelay.count() > 0)
            std::this_thread::sleep_for(writeDelay);
        if (onWrite)
            onWrite(n);
        if (failWriteNumber != 0 && n == failWriteNumber) {
            if (transferred)
                *transferred = 0;
            errno = EIO;
            return false;
        }
        return m_inner->Write(buffer, count, transferred);
    }

private:
    std::unique_ptr<JIO> m_inner;
};

} // namespace corvane::test
