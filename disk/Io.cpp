#include "disk/Io.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace JFileHandle {

std::string IoError::Message() const
{
    char where[64];
    std::snprintf(where, sizeof where, " at 0x%" PRIx64 " (+%" PRIu64 ")", offset, length);
    std::string reason = err == 0 ? std::string("end of the source") : std::string(std::strerror(err));
    return op + " failed: " + source + where + ": " + reason;
}

bool PositionRefused(int err)
{
    return err == EOVERFLOW || err == ESPIPE;
}

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

class CarefulReader {
public:
    CarefulReader(JIO& io, uint64_t offset, uint8_t* buffer, const ReadPolicy& policy, ReadOutcome& out)
        : m_io(io), m_offset(offset), m_buffer(buffer), m_policy(policy), m_out(out),
          m_block(std::max<uint32_t>(policy.block, 512))
    {
    }

    // Reads [from, to), none of it known unreadable. False once the
    // position was refused.
    bool ReadPart(uint64_t from, uint64_t to)
    {
        uint64_t pos = from;
        while (pos < to) {
            const uint32_t ask = static_cast<uint32_t>(std::min<uint64_t>(to - pos, 1u << 30));
            uint64_t got = 0;
            int err = 0;
            const bool ok = Try(pos, ask, got, err);
            pos += got;
            if (ok && got == ask)
                continue;
            if (ok) { // the source ends here
                m_out.endOfSource = std::min(m_out.endOfSource, pos);
                Lost(pos, to - pos, 0);
                return true;
            }
            if (PositionRefused(err)) {
                Refused(pos, to - pos, err);
                return false;
            }
            const uint64_t blockEnd = std::min(to, (pos / m_block + 1) * m_block);
            if (!Scrape(pos, blockEnd))
                return false;
            pos = blockEnd;
        }
        return true;
    }

private:
    bool Try(uint64_t pos, uint32_t count, uint64_t& got, int& err)
    {
        ++m_out.tries;
        errno = 0;
        const bool ok = m_io.ReadAt(pos, m_buffer + (pos - m_offset), count, &got);
        err = errno;
        got = std::min<uint64_t>(got, count);
        if (!ok && err == 0)
            err = EIO;
        return ok;
    }

    // [pos, blockEnd) failed once: try it again, then sector by sector.
    bool Scrape(uint64_t pos, uint64_t blockEnd)
    {
        int err = EIO;
        for (unsigned t = 0; t < m_policy.retries && pos < blockEnd; ++t) {
            uint64_t got = 0;
            const bool ok = Try(pos, static_cast<uint32_t>(blockEnd - pos), got, err);
            pos += got;
            if (ok && pos == blockEnd)
                return true;
            if (ok) {
                m_out.endOfSource = std::min(m_out.endOfSource, pos);
                Lost(pos, blockEnd - pos, 0);
                return true;
            }
            if (PositionRefused(err)) {
                Refused(pos, blockEnd - pos, err);
                return false;
            }
        }
        if (pos >= blockEnd)
            return true;
        const uint32_t sector = m_policy.sectors ? m_io.DirectSectorSize() : 0;
        if (sector == 0 || sector >= m_block) {
            Lost(pos, blockEnd - pos, err);
            return true;
        }
        if (!m_aligned)
            m_aligned.reset(std::aligned_alloc(4096, 4096));
        for (uint64_t s = pos - pos % sector; s < blockEnd; s += sector) {
            const uint64_t a = std::max(s, pos), b = std::min<uint64_t>(s + sector, blockEnd);
            bool done = false;
            for (unsigned t = 0; t <= m_policy.retries && !done && m_aligned; ++t) {
                ++m_out.tries;
                uint64_t got = 0;
                errno = 0;
                done = m_io.ReadDirectAt(s, m_aligned.get(), sector, &got) && got == sector;
                err = errno ? errno : EIO;
            }
            if (done)
                std::memcpy(m_buffer + (a - m_offset), static_cast<uint8_t*>(m_aligned.get()) + (a - s), b - a);
            else
                Lost(a, b - a, err);
        }
        return true;
    }

    void Lost(uint64_t pos, uint64_t len, int err)
    {
        if (len == 0)
            return;
        std::memset(m_buffer + (pos - m_offset), 0, len);
        m_out.unreadable.Add(pos, len);
        m_out.lastError = {"read", m_io.OpenedPath(), pos, len, err};
    }

    void Refused(uint64_t pos, uint64_t len, int err)
    {
        m_out.refused = err;
        m_out.lastError = {"read", m_io.OpenedPath(), pos, len, err};
    }

    JIO& m_io;
    const uint64_t m_offset;
    uint8_t* const m_buffer;
    const ReadPolicy& m_policy;
    ReadOutcome& m_out;
    const uint32_t m_block;
    std::unique_ptr<void, FreeDeleter> m_aligned;
};

} // namespace

ReadOutcome ReadCarefully(JIO& io, uint64_t offset, void* buffer, uint64_t length, const ReadPolicy& policy)
{
    ReadOutcome out;
    auto* base = static_cast<uint8_t*>(buffer);
    if (length > static_cast<uint64_t>(INT64_MAX) || offset > static_cast<uint64_t>(INT64_MAX) - length) {
        out.refused = EOVERFLOW;
        out.lastError = {"read", io.OpenedPath(), offset, length, EOVERFLOW};
        return out;
    }
    // What the imaging map says was never rescued is not data: not read.
    const ExtentSet known = io.KnownUnreadable().Within(offset, length);
    for (const Extent& e : known) {
        std::memset(base + (e.offset - offset), 0, e.length);
        out.unreadable.Add(e);
        out.lastError = {"read", io.OpenedPath(), e.offset, e.length, ENODATA};
    }
    CarefulReader reader(io, offset, base, policy, out);
    for (const Extent& part : known.Complement(offset, length))
        if (!reader.ReadPart(part.offset, part.End()))
            break;
    return out;
}

bool CanCopyInKernel(const JIO& from, const JIO& to)
{
    struct stat a {}, b {};
    return from.Handle() >= 0 && to.Handle() >= 0 && from.KnownUnreadable().Empty() &&
           ::fstat(from.Handle(), &a) == 0 && ::fstat(to.Handle(), &b) == 0 && S_ISREG(a.st_mode) &&
           S_ISREG(b.st_mode) && a.st_dev == b.st_dev;
}

uint64_t CopyInKernel(JIO& from, uint64_t fromOffset, JIO& to, uint64_t toOffset, uint64_t length, int* err)
{
    if (err)
        *err = 0;
    loff_t in = static_cast<loff_t>(fromOffset), out = static_cast<loff_t>(toOffset);
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n = ::copy_file_range(from.Handle(), &in, to.Handle(), &out, length - done, 0);
        if (n > 0) {
            done += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (err)
            *err = n == 0 ? 0 : errno;
        break;
    }
    return done;
}

} // namespace JFileHandle
