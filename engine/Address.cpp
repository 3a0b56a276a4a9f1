#include "engine/Address.h"

#include "disk/Text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace corvane {

namespace {

bool AllZero(const uint8_t* p, size_t n)
{
    // Word at a time: a real header or piece has a non-zero byte early.
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w != 0)
            return false;
    }
    for (; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

} // namespace

bool IsSlotMissing(const EvaContext& ctx, unsigned row, unsigned column)
{
    return std::any_of(ctx.missingSlots.begin(), ctx.missingSlots.end(),
                       [&](const SlotKey& k) { return k.row == row && k.column == column; });
}

MemberDisk* MemberAt(const EvaContext& ctx, unsigned row, unsigned column)
{
    if (!InMatrix(row, column))
        return nullptr;
    return ctx.memberMap[row][column];
}

bool IsAvailable(const EvaContext& ctx, const LayoutRecord& r, unsigned p)
{
    const unsigned row = r.row();
    const unsigned column = PositionColumn(r, p);
    if (!InMatrix(row, column))
        return false;
    return !IsSlotMissing(ctx, row, column) && ctx.memberMap[row][column] != nullptr;
}

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

namespace {

std::string PositionsText(const LayoutRecord& r, unsigned first, unsigned count)
{
    return "the segment at positions " + std::to_string(first) + "-" + std::to_string(first + count - 1) +
           " of row " + std::to_string(r.row());
}

} // namespace

JFileHandle::ExtentSet Touching(const JFileHandle::ExtentSet& ranges, uint64_t offset, uint64_t length)
{
    JFileHandle::ExtentSet out;
    for (const JFileHandle::Extent& e : ranges)
        if (e.offset < offset + length && offset < e.End())
            out.Add(e);
    return out;
}

std::string DescribeRanges(const JFileHandle::ExtentSet& ranges, uint64_t base)
{
    std::string out;
    size_t shown = 0;
    for (const JFileHandle::Extent& e : ranges) {
        if (shown == 4) {
            out += " and " + std::to_string(ranges.Count() - shown) + " more";
            break;
        }
        out += (shown++ ? ", " : "") + Hex(base + e.offset) + " (+" + std::to_string(e.length) + ")";
    }
    return out;
}

void NoteZeroCopy(EvaContext& ctx, const LayoutRecord& r, unsigned p)
{
    const MemberDisk* m = ctx.memberMap[r.row()][PositionColumn(r, p)];
    char where[96];
    std::snprintf(where, sizeof where, " at 0x%llx (row %u, column %u)",
                  static_cast<unsigned long long>(SegmentOffset(PositionSegment(r, p))), r.row(),
                  static_cast<unsigned>(PositionColumn(r, p)));
    ctx.notes.push_back(JFileHandle::NarrowToUtf8(m->source) + ": the segment" + where +
                        " holds only zeros; it is taken as unreadable and the next alternative is tried");
}

AlternativeRead ReadAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                                uint8_t* buffer, bool acceptZeros, const JFileHandle::ExtentSet& needed,
                                const std::string& what)
{
    AlternativeRead out;
    // The first copy that reads in part is kept in buffer and later ones,
    // read aside, fill its holes; a copy that reads whole still wins.
    bool partial = false;
    std::unique_ptr<uint8_t[]> aside;
    // With acceptZeros: a copy that reads in part and holds only zeros where
    // it reads, taken when nothing better turns up.
    int blank = -1;
    JFileHandle::ExtentSet blankMissing;
    for (unsigned p = first; p < first + count && p < 8; ++p) {
        if (!IsAvailable(ctx, r, p))
            continue;
        MemberDisk* m = ctx.memberMap[r.row()][PositionColumn(r, p)];
        const uint64_t at = SegmentOffset(PositionSegment(r, p));
        m->Seek(at);
        if (partial && !aside)
            aside = std::make_unique_for_overwrite<uint8_t[]>(kSegmentSize);
        uint8_t* into = partial ? aside.get() : buffer;
        const JFileHandle::ReadOutcome got = m->ReadRanges(into, static_cast<uint32_t>(kSegmentSize));
        m->position = at + kSegmentSize;
        // Unreadable bytes come back as zero, so this asks about the bytes
        // that did read.
        const bool zeros = AllZero(into, kSegmentSize);
        const std::string name = JFileHandle::NarrowToUtf8(m->source) + " at " + Hex(at);
        if (got.unreadable.Empty()) {
            if (zeros && (!acceptZeros || partial)) {
                // Never written, or the fill of an imaging tool: a copy of
                // nothing, which would pass for a LUN of 0 bytes.
                NoteZeroCopy(ctx, r, p);
                out.copies += (out.copies.empty() ? "" : "; ") + name + ": only zeros";
                continue;
            }
            if (into != buffer)
                std::memcpy(buffer, into, kSegmentSize);
            return {static_cast<int>(p), zeros, false, {}, {}};
        }
        const JFileHandle::ExtentSet bad = got.unreadable.Relative(at, kSegmentSize);
        out.copies += (out.copies.empty() ? "" : "; ") + name + ": " +
                      (bad.Covers(0, kSegmentSize) ? "nothing reads" : DescribeRanges(bad, at) + " do not read") +
                      " (" + (got.lastError.err ? std::strerror(got.lastError.err) : "the member ends") + ")" +
                      (zeros && !bad.Covers(0, kSegmentSize) ? ", only zeros elsewhere" : "");
        if (bad.Covers(0, kSegmentSize))
            continue;
        if (zeros) {
            if (acceptZeros && blank < 0) {
                blank = static_cast<int>(p);
                blankMissing = bad;
            } else if (!acceptZeros) {
                NoteZeroCopy(ctx, r, p);
            }
            continue;
        }
        if (!partial) {
            partial = true;
            out.position = static_cast<int>(p);
            out.missing = bad;
            continue;
        }
        // Holes of the copy so far that this one can fill.
        JFileHandle::ExtentSet still;
        for (const JFileHandle::Extent& hole : out.missing) {
            for (const JFileHandle::Extent& fill : bad.Complement(hole.offset, hole.length))
                std::memcpy(buffer + fill.offset, into + fill.offset, fill.length);
            still.Add(bad.Within(hole.offset, hole.length));
        }
        out.missing = std::move(still);
    }
    const std::string name = what.empty() ? PositionsText(r, first, count) : what;
    if (partial) {
        out.merged = true;
        bool lacking = false;
        for (const JFileHandle::Extent& e : needed)
            lacking = lacking || out.missing.Intersects(e.offset, e.length);
        if (!lacking) {
            ctx.notes.push_back(name + ": no copy reads whole (" + out.copies + "); it is put together byte by byte" +
                                (out.missing.Empty() ? std::string()
                                                     : ", and bytes " + DescribeRanges(out.missing) +
                                                           " of it read in no copy"));
            return out;
        }
        out.position = -1;
    } else if (blank >= 0) {
        std::memset(buffer, 0, kSegmentSize);
        out.position = blank;
        out.zeros = true;
        out.missing = std::move(blankMissing);
        return out;
    }
    // No bytes of a failed read may pass for the segment.
    std::memset(buffer, 0, kSegmentSize);
    return out;
}

bool ReadFirstAlternative(EvaContext& ctx, const LayoutRecord& r, unsigned first, unsigned count,
                          uint8_t* buffer)
{
    return static_cast<bool>(ReadAlternative(ctx, r, first, count, buffer, false));
}

void InterleaveChunks(const uint8_t* const pieces[4], uint8_t* out)
{
    for (uint64_t k = 0; k < kSegmentSize / kChunkSize; ++k)
        for (uint64_t m = 0; m < 4; ++m)
            std::memcpy(out + (4 * k + m) * kChunkSize, pieces[m] + k * kChunkSize, kChunkSize);
}

} // namespace corvane
