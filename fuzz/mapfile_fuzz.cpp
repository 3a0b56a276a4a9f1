// libFuzzer target: ddrescue mapfiles, as a user hands them over with an
// image (--source-map) and as an interrupted export leaves them. The text
// goes to both parsers; when the imaging-map parser takes it, the bytes it
// does not mark rescued are attached to an in-memory member as known
// unreadable and ReadCarefully reads random windows of it. Whatever the
// text, no parser or read may crash or read out of bounds, and:
//  - an accepted map is contiguous from 0; the export's parser takes every
//    map the imaging parser takes and sees the same rescued bytes; a map
//    it accepts reads back the same from its own rendering;
//  - a read's unreadable set lies inside its window and covers the known
//    part, the failing sectors and the bytes past the member's end; bytes
//    known unreadable are never read; every other byte is the member's,
//    every unreadable one zero.
//
// Input: 4 bytes that seed the windows, the policy and the member's size
// and bad sectors, then the mapfile text.
#include "tests/analysis_fakes.h"

#include "disk/Io.h"
#include "disk/Mapfile.h"
#include "export/RescueMap.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace corvane;
using JFileHandle::Extent;
using JFileHandle::ExtentSet;

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

uint8_t Pattern(uint64_t offset)
{
    return static_cast<uint8_t>((offset * 0x9E3779B1u) >> 13 ^ offset);
}

// xorshift64*, seeded from the input: the same input, the same windows.
struct Random {
    uint64_t s;
    uint64_t Next()
    {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1DULL;
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
};

// The member: written pages hold the pattern; a read that touches a byte
// the imaging map calls unreadable is a defect of the reader.
class Member : public test::MemoryDisk {
public:
    using MemoryDisk::MemoryDisk;
    bool ReadAt(uint64_t offset, void* buffer, uint32_t count, uint64_t* transferred) override
    {
        Check(!KnownUnreadable().Intersects(offset, count));
        return MemoryDisk::ReadAt(offset, buffer, count, transferred);
    }
};

void CheckBlocks(const JFileHandle::Mapfile& map)
{
    uint64_t end = 0;
    for (const JFileHandle::MapfileBlock& b : map.blocks) {
        Check(b.pos == end && b.size > 0);
        end = b.pos + b.size;
    }
    Check(map.Domain() == end);
    for (const Extent& e : map.NotRescued())
        Check(e.End() <= end);
}

// The export's parser: contiguous, merged, and its rendering reads back.
bool CheckRescueMap(const std::string& text, RescueMap& map)
{
    std::string error;
    if (!RescueMap::Parse(text, map, error)) {
        Check(!error.empty());
        return false;
    }
    uint64_t end = 0;
    for (size_t i = 0; i < map.Spans().size(); ++i) {
        const MapSpan& s = map.Spans()[i];
        Check(s.pos == end && s.size > 0);
        Check(i == 0 || map.Spans()[i - 1].status != s.status);
        end = s.pos + s.size;
    }
    Check(map.Size() == end);
    RescueMap again;
    Check(RescueMap::Parse(map.Render("corvane-cli export"), again, error));
    Check(again.Spans() == map.Spans() && again.Size() == map.Size());
    // Notes are compared without trailing CRs: the parser drops one per
    // line, so a note that ends in one does not come back whole.
    auto trimmed = [](std::vector<std::string> notes) {
        for (std::string& n : notes)
            while (!n.empty() && n.back() == '\r')
                n.pop_back();
        return notes;
    };
    Check(trimmed(again.notes) == trimmed(map.notes));
    return true;
}

void ReadWindows(const JFileHandle::Mapfile& map, Random& rnd)
{
    // A member about as long as the map says, or shorter or longer.
    const uint64_t domain = map.Domain();
    const uint64_t size = std::min<uint64_t>(rnd.Below(3) == 0 ? rnd.Below(8 << 20) : domain, 8 << 20);
    Member disk(size);
    ExtentSet known = map.NotRescued();
    known.Add(domain, UINT64_MAX - domain); // outside the map: unreadable, as UseImagingMap takes it
    disk.SetKnownUnreadable(known);
    ExtentSet failing;
    for (uint64_t n = rnd.Below(4); n > 0; --n) {
        const uint64_t at = rnd.Below(size + 1), len = 1 + rnd.Below(20000);
        disk.FailReads(at, len);
        failing.Add(at, len);
    }
    JFileHandle::ReadPolicy policy;
    policy.retries = static_cast<unsigned>(rnd.Below(3));
    policy.block = 512u << rnd.Below(4);

    for (int w = 0; w < 8; ++w) {
        // Near a block edge of the map, or anywhere up to past the member's end.
        uint64_t offset = rnd.Below(size + (1 << 20));
        if (!map.blocks.empty() && rnd.Below(2) == 0) {
            const JFileHandle::MapfileBlock& b = map.blocks[rnd.Below(map.blocks.size())];
            const uint64_t edge = rnd.Below(2) ? b.pos : b.pos + b.size;
            const uint64_t back = rnd.Below(1 << 16);
            offset = edge > back ? edge - back : 0;
        }
        const uint64_t length = rnd.Below(1 << 18);
        std::vector<uint8_t> buffer(length, 0xA5);
        // The member holds the pattern where the window meets it.
        std::vector<uint8_t> content(length);
        for (uint64_t i = 0; i < length; ++i)
            content[i] = Pattern(offset + i);
        if (offset < size && length > 0)
            disk.Put(offset, content.data(), static_cast<size_t>(std::min(length, size - offset)));

        const JFileHandle::ReadOutcome r = JFileHandle::ReadCarefully(disk, offset, buffer.data(), length, policy);
        Check(r.unreadable.Within(offset, length) == r.unreadable);
        if (r.refused != 0) {
            Check(JFileHandle::PositionRefused(r.refused));
            continue;
        }
        ExtentSet mustFail = known.Within(offset, length);
        mustFail.Add(failing.Within(offset, length));
        if (offset + length > size)
            mustFail.Add(std::max(offset, size), offset + length - std::max(offset, size));
        for (const Extent& e : mustFail)
            Check(r.unreadable.Covers(e.offset, e.length));
        for (const Extent& e : r.unreadable)
            for (uint64_t i = e.offset; i < e.End(); ++i)
                Check(buffer[i - offset] == 0);
        for (const Extent& e : r.unreadable.Complement(offset, length))
            for (uint64_t i = e.offset; i < e.End(); ++i)
                Check(buffer[i - offset] == content[i - offset]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    Random rnd{0x9E3779B97F4A7C15ULL ^ (uint64_t{data[0]} | uint64_t{data[1]} << 8 | uint64_t{data[2]} << 16 |
                                        uint64_t{data[3]} << 24)};
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);

    RescueMap exportMap;
    const bool exportParsed = CheckRescueMap(text, exportMap);

    JFileHandle::Mapfile map;
    std::string error;
    if (!JFileHandle::ParseMapfile(text, map, error)) {
        Check(error.rfind("line ", 0) == 0);
        return 0;
    }
    CheckBlocks(map);
    // Both parsers read one format: what the imaging parser takes, the
    // export's takes too, with the same bytes rescued.
    Check(exportParsed && exportMap.Size() == map.Domain());
    ExtentSet rescued;
    for (const MapSpan& s : exportMap.Spans())
        if (s.status == '+')
            rescued.Add(s.pos, s.size);
    Check(rescued == map.NotRescued().Complement(0, map.Domain()));

    ReadWindows(map, rnd);
    return 0;
}
