#include "export/Segment.h"

#include "engine/Address.h"

#include <cstring>

namespace corvane {

void XorInto(uint8_t* a, const uint8_t* b, uint64_t n)
{
    uint64_t i = 0;
    // 64 bytes a round in 8-byte words: the compiler vectorises this.
    for (; i + 64 <= n; i += 64) {
        uint64_t x[8], y[8];
        std::memcpy(x, a + i, 64);
        std::memcpy(y, b + i, 64);
        for (int w = 0; w < 8; ++w)
            x[w] ^= y[w];
        std::memcpy(a + i, x, 64);
    }
    for (; i < n; ++i)
        a[i] ^= b[i];
}

namespace {

// OR of the exclusive-or of five buffers over [from, from + n), n a multiple
// of 64: zero when they agree. One pass that reads each byte once, 64 bytes
// a round in 8-byte words, which the compiler vectorises.
uint64_t XorOfFive(const uint8_t* const s[kStripePositions], uint64_t from, uint64_t n)
{
    uint64_t any[8] = {};
    for (uint64_t i = from; i < from + n; i += 64) {
        uint64_t x[8], y[8];
        std::memcpy(x, s[0] + i, 64);
        for (unsigned p = 1; p < kStripePositions; ++p) {
            std::memcpy(y, s[p] + i, 64);
            for (int w = 0; w < 8; ++w)
                x[w] ^= y[w];
        }
        for (int w = 0; w < 8; ++w)
            any[w] |= x[w];
    }
    uint64_t all = 0;
    for (uint64_t w : any)
        all |= w;
    return all;
}

} // namespace

void CheckParity(uint64_t stripe, const std::array<SegmentState*, kStripePositions>& seg, ParityOutcome& out)
{
    constexpr uint32_t kBlocks = static_cast<uint32_t>(kSegmentSize / kParityBlock);
    out = ParityOutcome{};
    ExtentSet bad;
    for (const SegmentState* s : seg) {
        if (s->source != SegmentSource::Buffer) {
            out.unverifiable = kBlocks;
            return;
        }
        bad.Add(s->unreadable);
    }
    const uint8_t* const at[kStripePositions] = {seg[0]->buffer, seg[1]->buffer, seg[2]->buffer, seg[3]->buffer,
                                                 seg[4]->buffer};
    for (uint64_t b = 0; b < kSegmentSize; b += kParityBlock) {
        if (!bad.Empty() && bad.Intersects(b, kParityBlock)) {
            ++out.unverifiable;
            continue;
        }
        const uint64_t any = XorOfFive(at, b, kParityBlock);
        if (any == 0) {
            ++out.consistent;
            continue;
        }
        ++out.inconsistent;
        for (unsigned p = 0; p < 4; ++p)
            AddLunRanges(stripe, p, b, kParityBlock, out.inconsistentRanges);
    }
}

bool LoadRange(SegmentState& s, uint64_t from, uint64_t length, const JFileHandle::ReadPolicy& policy,
               std::string& error)
{
    for (const JFileHandle::Extent& e : s.loaded.Complement(from, length)) {
        if (s.source == SegmentSource::Absent || !s.member || !s.member->io) {
            std::memset(s.At(e.offset), 0, e.length);
            s.unreadable.Add(e);
            s.loaded.Add(e);
            continue;
        }
        const JFileHandle::ReadOutcome r =
            JFileHandle::ReadCarefully(*s.member->io, s.offset + e.offset, s.At(e.offset), e.length, policy);
        if (r.refused) {
            JFileHandle::IoError where = r.lastError;
            where.source = s.member->source; // the name the user gave
            error = "seek failed: " + where.Message();
            return false;
        }
        s.unreadable.Add(r.unreadable.Relative(s.offset, kSegmentSize));
        s.loaded.Add(e);
    }
    return true;
}

bool LoadInTurn(std::vector<RangeLoad>& loads, const JFileHandle::ReadPolicy& policy, std::string& error)
{
    for (RangeLoad& l : loads)
        for (const JFileHandle::Extent& e : l.ranges)
            if (!LoadRange(*l.segment, e.offset, e.length, policy, error))
                return false;
    return true;
}

void AddLunRanges(uint64_t stripe, unsigned p, uint64_t from, uint64_t length, ExtentSet& out)
{
    const uint64_t base = stripe * kRunSize;
    uint64_t x = from;
    const uint64_t end = from + length;
    while (x < end) {
        const uint64_t chunk = x / kChunkSize;
        const uint64_t chunkEnd = std::min(end, (chunk + 1) * kChunkSize);
        out.Add(base + (4 * chunk + p) * kChunkSize + (x - chunk * kChunkSize), chunkEnd - x);
        x = chunkEnd;
    }
}

bool ResolveRanges(uint64_t stripe, const std::array<SegmentState*, kStripePositions>& seg, const StripeNeeds& wanted,
                   const JFileHandle::ReadPolicy& policy, StripeOutcome& out, std::string& error,
                   const LoadBatchFn& batch)
{
    out = StripeOutcome{};
    auto load = [&](std::vector<RangeLoad>& loads) {
        std::erase_if(loads, [](const RangeLoad& l) { return l.ranges.Empty(); });
        if (loads.empty())
            return true;
        return batch ? batch(loads, error) : LoadInTurn(loads, policy, error);
    };
    auto missing = [](const SegmentState& s, const ExtentSet& set) {
        ExtentSet r;
        for (const JFileHandle::Extent& e : set)
            r.Add(s.loaded.Complement(e.offset, e.length));
        return r;
    };
    auto unreadableIn = [](const SegmentState& s, const ExtentSet& set) {
        ExtentSet r;
        for (const JFileHandle::Extent& e : set)
            r.Add(s.unreadable.Within(e.offset, e.length));
        return r;
    };

    std::vector<RangeLoad> loads;
    uint64_t total = 0;
    for (unsigned p = 0; p < 4; ++p) {
        loads.push_back({seg[p], missing(*seg[p], wanted[p])});
        total += wanted[p].Total();
    }
    if (!load(loads))
        return false;

    // A wanted byte that did not read needs the same bytes of every other
    // data position, read or not, to be rebuilt.
    std::array<ExtentSet, 4> bad;
    ExtentSet rebuild;
    for (unsigned p = 0; p < 4; ++p) {
        bad[p] = unreadableIn(*seg[p], wanted[p]);
        rebuild.Add(bad[p]);
    }
    if (rebuild.Empty()) {
        out.read = total;
        return true;
    }
    loads.clear();
    for (unsigned p = 0; p < 4; ++p)
        loads.push_back({seg[p], missing(*seg[p], rebuild)});
    if (!load(loads))
        return false;

    // The parity is needed where exactly one data position is unreadable.
    ExtentSet needParity;
    for (unsigned p = 0; p < 4; ++p) {
        ExtentSet others;
        for (unsigned q = 0; q < 4; ++q)
            if (q != p)
                others.Add(seg[q]->unreadable);
        for (const JFileHandle::Extent& e : bad[p])
            needParity.Add(others.Complement(e.offset, e.length));
    }
    SegmentState& parity = *seg[4];
    if (parity.source == SegmentSource::Absent) {
        parity.unreadable = ExtentSet{{0, kSegmentSize}};
    } else {
        loads.clear();
        loads.push_back({&parity, missing(parity, needParity)});
        if (!load(loads))
            return false;
    }

    for (unsigned p = 0; p < 4; ++p) {
        SegmentState& s = *seg[p];
        ExtentSet others;
        for (unsigned q = 0; q < kStripePositions; ++q)
            if (q != p)
                others.Add(seg[q]->unreadable);
        bool loss = false;
        for (const JFileHandle::Extent& e : bad[p]) {
            const ExtentSet lost = others.Within(e.offset, e.length);
            for (const JFileHandle::Extent& l : lost) {
                std::memset(s.At(l.offset), 0, l.length);
                out.lost += l.length;
                AddLunRanges(stripe, p, l.offset, l.length, out.lostRanges);
                loss = true;
            }
            for (const JFileHandle::Extent& r : lost.Complement(e.offset, e.length)) {
                std::memset(s.At(r.offset), 0, r.length);
                for (unsigned q = 0; q < kStripePositions; ++q)
                    if (q != p)
                        XorInto(s.At(r.offset), seg[q]->At(r.offset), r.length);
                out.rebuilt += r.length;
            }
        }
        out.segmentsWithLoss += loss ? 1 : 0;
    }
    out.read = total - out.rebuilt - out.lost;
    return true;
}

bool ResolveStripe(uint64_t stripe, const std::array<SegmentState*, kStripePositions>& seg, bool keepKernel,
                   const JFileHandle::ReadPolicy& policy, StripeOutcome& out, std::string& error)
{
    out = StripeOutcome{};
    bool whole = true, kernel = false;
    for (unsigned p = 0; p < 4; ++p) {
        whole = whole && seg[p]->source != SegmentSource::Absent && seg[p]->unreadable.Empty();
        kernel = kernel || seg[p]->source == SegmentSource::Kernel || seg[p]->source == SegmentSource::OnDemand;
    }
    if (whole && (keepKernel || !kernel)) {
        out.read = 4 * kSegmentSize;
        return true;
    }
    // The stripe is written from the data buffers: every data position is
    // read in full (good bytes once), an absent one counts as unreadable.
    for (unsigned p = 0; p < 4; ++p) {
        if (seg[p]->source == SegmentSource::Absent) {
            seg[p]->unreadable = ExtentSet{{0, kSegmentSize}};
            seg[p]->loaded = ExtentSet{{0, kSegmentSize}};
            continue;
        }
        if (!LoadRange(*seg[p], 0, kSegmentSize, policy, error))
            return false;
        seg[p]->source = SegmentSource::Buffer;
    }
    const ExtentSet all{{0, kSegmentSize}};
    return ResolveRanges(stripe, seg, {all, all, all, all}, policy, out, error);
}

} // namespace corvane
