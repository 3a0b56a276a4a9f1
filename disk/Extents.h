// Sets of byte ranges: which bytes of a source cannot be read, which bytes
// of a segment are present, which LUN bytes were lost. Kept sorted and
// merged, so comparisons and totals are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace JFileHandle {

struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t End() const { return offset + length; }
    friend bool operator==(const Extent&, const Extent&) = default;
};

class ExtentSet {
public:
    ExtentSet() = default;
    ExtentSet(std::initializer_list<Extent> extents);

    // Adds [offset, offset + length), merging with neighbours; an empty range
    // is ignored, one that runs past 2^64 is clipped there.
    void Add(uint64_t offset, uint64_t length);
    void Add(const Extent& e) { Add(e.offset, e.length); }
    void Add(const ExtentSet& other);
    // Removes [offset, offset + length).
    void Remove(uint64_t offset, uint64_t length);
    void Clear() { m_list.clear(); }

    bool Empty() const { return m_list.empty(); }
    uint64_t Total() const;
    // Some byte of [offset, offset + length) is in the set.
    bool Intersects(uint64_t offset, uint64_t length) const;
    // Every byte of [offset, offset + length) is in the set (true when empty).
    bool Covers(uint64_t offset, uint64_t length) const;
    // The part of the set inside [offset, offset + length).
    ExtentSet Within(uint64_t offset, uint64_t length) const;
    // The part inside [base, base + length), moved down by base: positions
    // on a member to positions inside one of its segments.
    ExtentSet Relative(uint64_t base, uint64_t length) const;
    // The same set moved up by base (clipped at 2^64).
    ExtentSet Shifted(uint64_t base) const;
    // [offset, offset + length) minus the set.
    ExtentSet Complement(uint64_t offset, uint64_t length) const;

    const std::vector<Extent>& List() const { return m_list; }
    auto begin() const { return m_list.begin(); }
    auto end() const { return m_list.end(); }
    size_t Count() const { return m_list.size(); }

    friend bool operator==(const ExtentSet&, const ExtentSet&) = default;

private:
    // First extent whose end is beyond offset.
    std::vector<Extent>::const_iterator FirstEndingAfter(uint64_t offset) const;
    std::vector<Extent> m_list;
};

} // namespace JFileHandle
