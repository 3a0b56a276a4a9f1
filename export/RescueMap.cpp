#include "export/RescueMap.h"

#include "disk/Mapfile.h"

#include "export/Export.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

RescueMap::RescueMap(uint64_t size) : m_size(size)
{
    if (size > 0)
        m_spans.push_back({0, size, '?'});
}

void RescueMap::Mark(uint64_t pos, uint64_t size, char status)
{
    if (pos >= m_size || size == 0)
        return;
    const uint64_t end = size > m_size - pos ? m_size : pos + size;
    std::vector<MapSpan> out;
    out.reserve(m_spans.size() + 2);
    auto add = [&out](uint64_t p, uint64_t s, char st) {
        if (s == 0)
            return;
        if (!out.empty() && out.back().status == st && out.back().pos + out.back().size == p)
            out.back().size += s;
        else
            out.push_back({p, s, st});
    };
    bool placed = false;
    for (const MapSpan& sp : m_spans) {
        const uint64_t spEnd = sp.pos + sp.size;
        if (spEnd <= pos || sp.pos >= end) {
            if (!placed && sp.pos >= end) {
                add(pos, end - pos, status);
                placed = true;
            }
            add(sp.pos, sp.size, sp.status);
            continue;
        }
        if (sp.pos < pos)
            add(sp.pos, pos - sp.pos, sp.status);
        if (!placed) {
            add(pos, end - pos, status);
            placed = true;
        }
        if (spEnd > end)
            add(end, spEnd - end, sp.status);
    }
    if (!placed)
        add(pos, end - pos, status);
    m_spans = std::move(out);
}

void RescueMap::Splice(uint64_t from, uint64_t to, const std::vector<MapSpan>& spans)
{
    to = std::min(to, m_size);
    if (from >= to)
        return;
    std::vector<MapSpan> out;
    out.reserve(m_spans.size() + spans.size() + 2);
    auto add = [&out](uint64_t p, uint64_t s, char st) {
        if (s == 0)
            return;
        if (!out.empty() && out.back().status == st && out.back().pos + out.back().size == p)
            out.back().size += s;
        else
            out.push_back({p, s, st});
    };
    for (const MapSpan& sp : m_spans)
        if (sp.pos < from)
            add(sp.pos, std::min(sp.pos + sp.size, from) - sp.pos, sp.status);
    for (const MapSpan& sp : spans)
        add(sp.pos, sp.size, sp.status);
    for (const MapSpan& sp : m_spans) {
        const uint64_t end = sp.pos + sp.size;
        if (end > to) {
            const uint64_t at = std::max(sp.pos, to);
            add(at, end - at, sp.status);
        }
    }
    m_spans = std::move(out);
}

void ApplyReport(RescueMap& map, const ExportReport& report)
{
    const uint64_t from = static_cast<uint64_t>(report.firstStripe) * kRunSize;
    const uint64_t to = std::min(report.DoneEnd(), map.Size());
    if (from >= to)
        return;
    std::vector<MapSpan> spans;
    uint64_t pos = from;
    for (const ByteRange& z : report.zeroRanges) {
        const uint64_t a = std::max(z.offset, pos);
        const uint64_t b = std::min(z.offset + z.length, to);
        if (a >= b)
            continue;
        if (a > pos)
            spans.push_back({pos, a - pos, '+'});
        spans.push_back({a, b - a, '-'});
        pos = b;
    }
    if (pos < to)
        spans.push_back({pos, to - pos, '+'});
    map.Splice(from, to, spans);
}

uint64_t RescueMap::Total(char status) const
{
    uint64_t n = 0;
    for (const MapSpan& sp : m_spans)
        if (sp.status == status)
            n += sp.size;
    return n;
}

uint64_t RescueMap::FirstNotDone() const
{
    for (const MapSpan& sp : m_spans)
        if (sp.status != '+' && sp.status != '-')
            return sp.pos;
    return m_size;
}

namespace {

std::string Timestamp()
{
    const time_t now = std::time(nullptr);
    struct tm tmv {};
    localtime_r(&now, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

} // namespace

std::string RescueMap::Render(const std::string& commandLine, const std::string& program) const
{
    const uint64_t next = FirstNotDone();
    const bool finished = next == m_size;
    std::string out;
    char line[128];
    out += "# Mapfile. Created by " + program + "\n";
    out += "# Command line: " + commandLine + "\n";
    out += "# Current time: " + Timestamp() + "\n";
    for (const std::string& n : notes)
        out += "# " + n + "\n";
    if (finished)
        out += "# Finished\n";
    out += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               1\n", finished ? 0 : next,
                  finished ? '+' : '?');
    out += line;
    out += "#      pos        size  status\n";
    for (const MapSpan& sp : m_spans) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", sp.pos, sp.size, sp.status);
        out += line;
    }
    return out;
}

bool RescueMap::Parse(const std::string& text, RescueMap& out, std::string& error)
{
    JFileHandle::Mapfile file;
    if (!JFileHandle::ParseMapfile(text, file, error))
        return false;
    RescueMap map;
    for (const std::string& c : file.comments)
        // Our own notes ("# corvane ..."); every other comment is ddrescue's or the user's.
        if (c.compare(0, 8, "corvane ") == 0)
            map.notes.push_back(c);
    for (const JFileHandle::MapfileBlock& b : file.blocks) {
        if (!map.m_spans.empty() && map.m_spans.back().status == b.status)
            map.m_spans.back().size += b.size;
        else
            map.m_spans.push_back({b.pos, b.size, b.status});
    }
    map.m_size = file.Domain();
    out = std::move(map);
    return true;
}

bool SaveFileAtomically(const std::string& path, const std::string& text, std::string& error)
{
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + tmp + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const int syncErr = errno;
    if (::close(fd) != 0 || !synced) {
        error = "cannot write " + tmp + ": " + std::strerror(synced ? errno : syncErr);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        const bool ok = ::fsync(dfd) == 0 || errno == EINVAL;
        const int err = errno;
        ::close(dfd);
        if (!ok) {
            error = "cannot sync the directory of " + path + ": " + std::strerror(err);
            return false;
        }
    }
    return true;
}

bool LoadFile(const std::string& path, std::string& text, std::string& error)
{
    return JFileHandle::ReadWholeFile(path, text, error);
}

} // namespace corvane
