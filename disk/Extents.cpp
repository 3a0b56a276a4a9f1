#include "disk/Extents.h"

#include <algorithm>

namespace JFileHandle {

ExtentSet::ExtentSet(std::initializer_list<Extent> extents)
{
    for (const Extent& e : extents)
        Add(e);
}

std::vector<Extent>::const_iterator ExtentSet::FirstEndingAfter(uint64_t offset) const
{
    return std::upper_bound(m_list.begin(), m_list.end(), offset,
                            [](uint64_t v, const Extent& e) { return v < e.End(); });
}

void ExtentSet::Add(uint64_t offset, uint64_t length)
{
    if (length == 0)
        return;
    if (length > UINT64_MAX - offset)
        length = UINT64_MAX - offset;
    uint64_t lo = offset, hi = offset + length;
    // Extents that touch or overlap [lo, hi) merge into one.
    auto first = std::lower_bound(m_list.begin(), m_list.end(), lo,
                                  [](const Extent& e, uint64_t v) { return e.End() < v; });
    auto last = first;
    while (last != m_list.end() && last->offset <= hi) {
        lo = std::min(lo, last->offset);
        hi = std::max(hi, last->End());
        ++last;
    }
    first = m_list.erase(first, last);
    m_list.insert(first, Extent{lo, hi - lo});
}

void ExtentSet::Add(const ExtentSet& other)
{
    for (const Extent& e : other.m_list)
        Add(e);
}

void ExtentSet::Remove(uint64_t offset, uint64_t length)
{
    if (length == 0 || m_list.empty())
        return;
    if (length > UINT64_MAX - offset)
        length = UINT64_MAX - offset;
    const uint64_t lo = offset, hi = offset + length;
    std::vector<Extent> out;
    out.reserve(m_list.size() + 1);
    for (const Extent& e : m_list) {
        if (e.End() <= lo || e.offset >= hi) {
            out.push_back(e);
            continue;
        }
        if (e.offset < lo)
            out.push_back({e.offset, lo - e.offset});
        if (e.End() > hi)
            out.push_back({hi, e.End() - hi});
    }
    m_list = std::move(out);
}

uint64_t ExtentSet::Total() const
{
    uint64_t t = 0;
    for (const Extent& e : m_list)
        t += e.length;
    return t;
}

bool ExtentSet::Intersects(uint64_t offset, uint64_t length) const
{
    if (length == 0)
        return false;
    auto it = FirstEndingAfter(offset);
    return it != m_list.end() && it->offset < offset + std::min(length, UINT64_MAX - offset);
}

bool ExtentSet::Covers(uint64_t offset, uint64_t length) const
{
    if (length == 0)
        return true;
    auto it = FirstEndingAfter(offset);
    return it != m_list.end() && it->offset <= offset && it->End() - offset >= length;
}

ExtentSet ExtentSet::Within(uint64_t offset, uint64_t length) const
{
    ExtentSet out;
    if (length > UINT64_MAX - offset)
        length = UINT64_MAX - offset;
    const uint64_t hi = offset + length;
    for (auto it = FirstEndingAfter(offset); it != m_list.end() && it->offset < hi; ++it) {
        const uint64_t a = std::max(it->offset, offset), b = std::min(it->End(), hi);
        out.m_list.push_back({a, b - a});
    }
    return out;
}

ExtentSet ExtentSet::Relative(uint64_t base, uint64_t length) const
{
    ExtentSet out = Within(base, length);
    for (Extent& e : out.m_list)
        e.offset -= base;
    return out;
}

ExtentSet ExtentSet::Shifted(uint64_t base) const
{
    ExtentSet out;
    for (const Extent& e : m_list) {
        if (e.offset > UINT64_MAX - base)
            break;
        out.Add(e.offset + base, e.length);
    }
    return out;
}

ExtentSet ExtentSet::Complement(uint64_t offset, uint64_t length) const
{
    ExtentSet out;
    out.Add(offset, length);
    for (const Extent& e : Within(offset, length))
        out.Remove(e.offset, e.length);
    return out;
}

} // namespace JFileHandle
