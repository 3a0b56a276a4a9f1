#include "export/LunReader.h"

#include "engine/Address.h"
#include "export/Segment.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <latch>
#include <list>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace corvane {

// Threads that read members on behalf of the callers of Read, so one
// request's positions are read at the same time.
class LunReader::Pool {
public:
    // The threads start with the first request that needs them: a process
    // that forks after making its readers (a daemon) keeps them.
    explicit Pool(unsigned threads) : m_count(threads) {}
    ~Pool()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

    // Runs every task, the first on the caller's thread, and returns once
    // all have run. Tasks must not throw nor wait for other tasks.
    void RunAll(std::vector<std::function<void()>>& tasks)
    {
        if (tasks.empty())
            return;
        std::call_once(m_started, [this] {
            for (unsigned i = 0; i < m_count; ++i)
                m_threads.emplace_back([this] { Work(); });
        });
        std::latch done(static_cast<std::ptrdiff_t>(tasks.size() - 1));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (size_t i = 1; i < tasks.size(); ++i)
                m_queue.push_back([&task = tasks[i], &done] {
                    task();
                    done.count_down();
                });
        }
        m_wake.notify_all();
        tasks[0]();
        // Queued tasks are run by whoever is free, the caller too: so a
        // pool without threads (one member) still gets through, and a
        // caller never idles while work waits.
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_queue.empty())
                    break;
                task = std::move(m_queue.front());
                m_queue.pop_front();
            }
            task();
        }
        done.wait();
    }

private:
    void Work()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::function<void()> task = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    const unsigned m_count;
    std::once_flag m_started;
    std::vector<std::thread> m_threads;
};

struct LunCache::Entry {
    Key key;
    std::unique_ptr<uint8_t[]> data;
};

size_t LunCache::KeyHash::operator()(const Key& k) const
{
    return std::hash<uint64_t>()(k.chunk * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(k.owner));
}

LunCache::LunCache(uint64_t bytes) : m_capacity(static_cast<size_t>(bytes / kChunkSize)) {}
LunCache::~LunCache() = default;

bool LunCache::Get(const Key& key, uint64_t from, uint64_t length, uint8_t* out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_index.find(key);
    if (it == m_index.end())
        return false;
    m_lru.splice(m_lru.begin(), m_lru, it->second);
    std::memcpy(out, it->second->data.get() + from, length);
    return true;
}

void LunCache::Put(const Key& key, const uint8_t* data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_capacity == 0 || m_index.count(key))
        return;
    if (m_lru.size() >= m_capacity) {
        // The oldest chunk's buffer takes the new one.
        m_index.erase(m_lru.back().key);
        m_lru.splice(m_lru.begin(), m_lru, std::prev(m_lru.end()));
    } else {
        m_lru.push_front({key, std::make_unique<uint8_t[]>(kChunkSize)});
    }
    m_lru.front().key = key;
    std::memcpy(m_lru.front().data.get(), data, kChunkSize);
    m_index[key] = m_lru.begin();
}

void LunCache::Forget(const void* owner)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_lru.begin(); it != m_lru.end();) {
        if (it->key.owner == owner) {
            m_index.erase(it->key);
            it = m_lru.erase(it);
        } else {
            ++it;
        }
    }
}

LunReader::LunReader(const EvaContext& ctx, const LunEntry& lun) : LunReader(ctx, lun, Options{}) {}

LunReader::LunReader(const EvaContext& ctx, const LunEntry& lun, Options options)
    : m_size(lun.CoveredBytes()), m_group(lun.group), m_id(lun.id), m_policy(ctx.readPolicy),
      m_records(lun.stripeRecords), m_map(ctx.memberMap)
{
    unsigned threads = options.threads;
    if (threads == 0) {
        std::set<const MemberDisk*> members;
        for (const auto& row : m_map)
            for (const MemberDisk* m : row)
                if (m)
                    members.insert(m);
        threads = static_cast<unsigned>(std::clamp<size_t>(members.size(), 1, 16));
    }
    // The caller of Read reads one position itself.
    m_pool = std::make_unique<Pool>(threads > 1 ? threads - 1 : 0);
    m_cache = options.cache ? std::move(options.cache) : std::make_shared<LunCache>(options.cacheBytes);
}

LunReader::~LunReader()
{
    m_cache->Forget(this);
}

LunReaderStats LunReader::Stats() const
{
    return {m_hits.load(), m_misses.load(), m_memberBytes.load()};
}

bool LunReader::LoadParallel(std::vector<RangeLoad>& loads, std::string& error)
{
    // One task per member: its ranges one after another, in offset order.
    std::vector<std::vector<RangeLoad>> byMember;
    std::vector<const MemberDisk*> owners;
    for (RangeLoad& l : loads) {
        if (l.segment->source != SegmentSource::Absent)
            m_memberBytes.fetch_add(l.ranges.Total(), std::memory_order_relaxed);
        const MemberDisk* m = l.segment->source == SegmentSource::Absent ? nullptr : l.segment->member;
        const auto at = std::find(owners.begin(), owners.end(), m);
        if (at == owners.end()) {
            owners.push_back(m);
            byMember.push_back({l});
        } else {
            byMember[static_cast<size_t>(at - owners.begin())].push_back(l);
        }
    }
    if (byMember.size() == 1)
        return LoadInTurn(byMember[0], m_policy, error);
    std::vector<std::string> errors(byMember.size());
    std::vector<std::function<void()>> tasks;
    for (size_t i = 0; i < byMember.size(); ++i)
        tasks.push_back([this, &byMember, &errors, i] {
            try {
                LoadInTurn(byMember[i], m_policy, errors[i]);
            } catch (const std::exception& e) {
                errors[i] = std::string("read failed: ") + e.what();
            }
        });
    m_pool->RunAll(tasks);
    for (const std::string& e : errors)
        if (!e.empty()) {
            error = e;
            return false;
        }
    return true;
}

bool LunReader::ReadStripe(uint64_t k, uint64_t from, uint64_t to, uint8_t* dst, LunReadResult& res)
{
    const uint64_t base = k * kRunSize;
    auto chunkPart = [&](unsigned c, uint64_t& a, uint64_t& b) {
        const uint64_t at = base + c * kChunkSize;
        a = std::max(from, at);
        b = std::min(to, at + kChunkSize);
        return a == at && b == at + kChunkSize; // whole
    };
    // Chunks asked for in part may be in the cache.
    uint64_t need = 0;
    for (unsigned c = static_cast<unsigned>((from - base) / kChunkSize); base + c * kChunkSize < to; ++c) {
        uint64_t a, b;
        if (!chunkPart(c, a, b) && m_cache->Get({this, (base + c * kChunkSize) / kChunkSize}, a % kChunkSize, b - a,
                                                dst + (a - from))) {
            m_hits.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        need |= uint64_t{1} << c;
    }
    if (!need)
        return true;
    m_misses.fetch_add(static_cast<uint64_t>(std::popcount(need)), std::memory_order_relaxed);

    // Chunk c of the stripe is chunk row c / 4 of data position c % 4. Each
    // row is resolved on its own, in a window of one chunk per position: a
    // chunk asked for whole is read straight into dst, the others (and the
    // parity) into scratch.
    const unsigned firstRow = static_cast<unsigned>(std::countr_zero(need)) / 4;
    const unsigned rows = (63u - static_cast<unsigned>(std::countl_zero(need))) / 4 + 1 - firstRow;
    const std::unique_ptr<uint8_t[]> scratch(new uint8_t[rows * kStripePositions * kChunkSize]);
    const LayoutRecord& rec = m_records[k];
    std::array<MemberDisk*, kStripePositions> members{};
    for (unsigned p = 0; p < kStripePositions; ++p) {
        const unsigned row = rec.row(), column = PositionColumn(rec, p);
        members[p] = InMatrix(row, column) ? m_map[row][column] : nullptr;
    }
    std::vector<std::array<SegmentState, kStripePositions>> states(rows);
    std::vector<RangeLoad> loads;
    for (unsigned i = 0; i < rows; ++i) {
        const uint64_t x = (firstRow + i) * kChunkSize; // segment offset of the row
        for (unsigned p = 0; p < kStripePositions; ++p) {
            const unsigned c = 4 * (firstRow + i) + p;
            const bool wanted = p < 4 && (need >> c & 1);
            uint64_t a, b;
            const bool direct = wanted && chunkPart(c, a, b);
            uint8_t* buffer = direct ? dst + (base + c * kChunkSize - from)
                                     : scratch.get() + (i * kStripePositions + p) * kChunkSize;
            const SegmentSource how = !members[p] ? SegmentSource::Absent
                                      : p == 4    ? SegmentSource::OnDemand
                                                  : SegmentSource::Buffer;
            states[i][p].Reset(how, members[p], SegmentOffset(PositionSegment(rec, p)), buffer, x);
            if (wanted)
                loads.push_back({&states[i][p], ExtentSet{{x, kChunkSize}}});
        }
    }
    // Every wanted chunk at once; the rows' rebuilds then read what they need.
    std::string error;
    const LoadBatchFn batch = [this](std::vector<RangeLoad>& l, std::string& e) { return LoadParallel(l, e); };
    bool ok = batch(loads, error);
    for (unsigned i = 0; ok && i < rows; ++i) {
        const uint64_t x = (firstRow + i) * kChunkSize;
        std::array<SegmentState*, kStripePositions> seg{};
        StripeNeeds wanted;
        for (unsigned p = 0; p < kStripePositions; ++p) {
            seg[p] = &states[i][p];
            if (p < 4 && (need >> (4 * (firstRow + i) + p) & 1))
                wanted[p].Add(x, kChunkSize);
        }
        StripeOutcome out;
        if (!ResolveRanges(k, seg, wanted, m_policy, out, error, batch)) {
            ok = false;
            break;
        }
        res.rebuilt += out.rebuilt;
        for (unsigned p = 0; p < 4; ++p) {
            const unsigned c = 4 * (firstRow + i) + p;
            if (!(need >> c & 1))
                continue;
            uint64_t a, b;
            const bool direct = chunkPart(c, a, b);
            const uint64_t at = base + c * kChunkSize;
            const ExtentSet lost = out.lostRanges.Within(at, kChunkSize);
            res.lost.Add(lost.Within(a, b - a));
            if (direct)
                continue;
            const uint8_t* data = states[i][p].At(x);
            std::memcpy(dst + (a - from), data + (a - at), b - a);
            if (lost.Empty())
                m_cache->Put({this, at / kChunkSize}, data);
        }
    }
    if (!ok) {
        res.ok = false;
        res.error = error;
    }
    return ok;
}

LunReadResult LunReader::Read(uint64_t offset, void* buffer, uint64_t length)
{
    LunReadResult res;
    if (offset > m_size || length > m_size - offset) {
        res.ok = false;
        res.error = "LUN " + std::to_string(m_group) + "-" + std::to_string(m_id) + ": bytes " + Hex(offset) +
                    " (+" + std::to_string(length) + ") lie past its end at " + Hex(m_size);
        return res;
    }
    uint8_t* const dst = static_cast<uint8_t*>(buffer);
    const uint64_t end = offset + length;
    for (uint64_t k = offset / kRunSize; k * kRunSize < end; ++k) {
        const uint64_t from = std::max(offset, k * kRunSize), to = std::min(end, (k + 1) * kRunSize);
        if (!ReadStripe(k, from, to, dst + (from - offset), res))
            break;
    }
    return res;
}

} // namespace corvane
