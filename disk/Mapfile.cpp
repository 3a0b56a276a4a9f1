#include "disk/Mapfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace JFileHandle {

namespace {

bool ParseNumber(const std::string& s, uint64_t& out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    // The whole field: a NUL inside it must not end the number early.
    if (errno != 0 || end != s.c_str() + s.size())
        return false;
    out = v;
    return true;
}

bool BlockStatus(char c)
{
    return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}

bool CurrentStatus(char c)
{
    return BlockStatus(c) || c == 'F' || c == 'G';
}

} // namespace

ExtentSet Mapfile::NotRescued() const
{
    ExtentSet out;
    for (const MapfileBlock& b : blocks)
        if (b.status != '+')
            out.Add(b.pos, b.size);
    return out;
}

bool ParseMapfile(const std::string& text, Mapfile& out, std::string& error)
{
    Mapfile map;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool statusLine = false;
    uint64_t end = 0;
    auto fail = [&](const std::string& what) {
        error = "line " + std::to_string(number) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        if (line[first] == '#') {
            size_t from = first + 1;
            if (from < line.size() && line[from] == ' ')
                ++from;
            map.comments.push_back(line.substr(from));
            continue;
        }
        std::istringstream fields(line);
        std::string a, b, c, extra;
        fields >> a >> b >> c >> extra;
        if (!statusLine) {
            uint64_t pos = 0, pass = 1;
            if (!ParseNumber(a, pos) || b.size() != 1 || !CurrentStatus(b[0]) || !extra.empty() ||
                (!c.empty() && (!ParseNumber(c, pass) || pass == 0 || pass > 0xFFFF)))
                return fail("not a mapfile status line (\"current_pos current_status [current_pass]\")");
            map.currentPos = pos;
            map.currentStatus = b[0];
            map.currentPass = static_cast<unsigned>(pass);
            statusLine = true;
            continue;
        }
        uint64_t pos = 0, size = 0;
        if (!ParseNumber(a, pos) || !ParseNumber(b, size) || c.size() != 1 || !BlockStatus(c[0]) || !extra.empty())
            return fail("expected \"pos size status\"");
        if (pos != end)
            return fail("block does not start where the previous one ended");
        if (size == 0 || size > UINT64_MAX - pos)
            return fail("bad block size");
        end = pos + size;
        map.blocks.push_back({pos, size, c[0]});
    }
    if (!statusLine) {
        ++number;
        return fail("no mapfile status line");
    }
    out = std::move(map);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& text, std::string& error)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    const bool bad = std::ferror(f) != 0;
    const int err = errno;
    std::fclose(f);
    if (bad) {
        error = "cannot read " + path + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool LoadMapfile(const std::string& path, Mapfile& out, std::string& error)
{
    std::string text;
    if (!ReadWholeFile(path, text, error))
        return false;
    if (!ParseMapfile(text, out, error)) {
        error = path + " " + error;
        return false;
    }
    return true;
}

} // namespace JFileHandle
