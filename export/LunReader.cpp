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

namespace {

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

} // namespace

// Threads that read members on behalf of the callers of Read, so one
// request's positions are read at the same time.
class LunReader::Pool {
public:
    explicit Pool(unsigned threads)
    {
        for (unsigned i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { Work(); });
    }
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
    // all have run. Tasks must not throw.
    void RunAll(std::vector<std::function<void()>>& tasks)
    {
        if (tasks.empty())
            return;
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
    std::vector<std::thread> m_threads;
};

// Whole 128 KiB chunks of the LUN as assembled, least recently used out
// first. Chunks with lost bytes are not kept: a later read tries again.
class LunReader::Cache {
public:
    explicit Cache(size_t chunks) : m_capacity(chunks) {}

    bool Get(uint64_t chunk, uint64_t from, uint64_t length, uint8_t* out)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_index.find(chunk);
        if (it == m_index.end())
            return false;
        m_lru.splice(m_lru.begin(), m_lru, it->second);
        std::memcpy(out, it->second->data.get() + from, length);
        return true;
    }

    void Put(uint64_t chunk, const uint8_t* data)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_capacity == 0 || m_index.count(chunk))
            return;
        if (m_lru.size() >= m_capacity) {
            // The oldest chunk's buffer takes the new one.
            m_index.erase(m_lru.back().chunk);
            m_lru.splice(m_lru.begin(), m_lru, std::prev(m_lru.end()));
        } else {
            m_lru.push_front({0, std::make_unique<uint8_t[]>(kChunkSize)});
        }
        m_lru.front().chunk = chunk;
        std::memcpy(m_lru.front().data.get(), data, kChunkSize);
        m_index[chunk] = m_lru.begin();
    }

private:
    struct Entry {
        uint64_t chunk;
        std::unique_ptr<uint8_t[]> data;
    };
    std::mutex m_mutex;
    const size_t m_capacity;
    std::list<Entry> m_lru; // newest first
    std::unordered_map<uint64_t, std::list<Entry>::iterator> m_index;
};

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
    m_cache = std::make_unique<Cache>(static_cast<size_t>(options.cacheBytes / kChunkSize));
}

LunReader::~LunReader() = default;

LunReaderStats LunReader::Stats() const
{
    return {m_hits.load(), m_misses.load(), m_memberBytes.load()};
}

template <class Take>
bool LunReader::AssembleChunks(uint64_t k, uint64_t chunks, LunReadResult& res, Take&& take)
{
    // Chunk c of the stripe is chunk row c / 4 of data position c % 4: the
    // window of segment rows from the first to the last chunk asked for.
    const uint64_t firstRow = static_cast<unsigned>(std::countr_zero(chunks)) / 4;
    const uint64_t endRow = (63u - static_cast<unsigned>(std::countl_zero(chunks))) / 4 + 1;
    const uint64_t window = (endRow - firstRow) * kChunkSize;
    const std::unique_ptr<uint8_t[]> memory(new uint8_t[kStripePositions * window]);

    const LayoutRecord& rec = m_records[k];
    std::array<SegmentState, kStripePositions> states;
    std::array<SegmentState*, kStripePositions> seg{};
    for (unsigned p = 0; p < kStripePositions; ++p) {
        const unsigned row = rec.row(), column = PositionColumn(rec, p);
        MemberDisk* m = InMatrix(row, column) ? m_map[row][column] : nullptr;
        const SegmentSource how = !m ? SegmentSource::Absent : p == 4 ? SegmentSource::OnDemand : SegmentSource::Buffer;
        states[p].Reset(how, m, SegmentOffset(PositionSegment(rec, p)), memory.get() + p * window,
                        firstRow * kChunkSize);
        seg[p] = &states[p];
    }
    StripeNeeds wanted;
    for (uint64_t bits = chunks; bits; bits &= bits - 1) {
        const unsigned c = static_cast<unsigned>(std::countr_zero(bits));
        wanted[c % 4].Add((c / 4) * kChunkSize, kChunkSize);
    }

    // Each position's ranges on a thread of its own.
    const LoadBatchFn batch = [this](std::vector<RangeLoad>& loads, std::string& error) {
        for (const RangeLoad& l : loads)
            if (l.segment->source != SegmentSource::Absent)
                m_memberBytes.fetch_add(l.ranges.Total(), std::memory_order_relaxed);
        if (loads.size() == 1)
            return LoadInTurn(loads, m_policy, error);
        std::vector<std::string> errors(loads.size());
        std::vector<std::function<void()>> tasks;
        for (size_t i = 0; i < loads.size(); ++i)
            tasks.push_back([this, &loads, &errors, i] {
                std::vector<RangeLoad> one{loads[i]};
                try {
                    LoadInTurn(one, m_policy, errors[i]);
                } catch (const std::exception& e) {
                    errors[i] = std::string("read failed: ") + loads[i].segment->member->source + ": " + e.what();
                }
            });
        m_pool->RunAll(tasks);
        for (const std::string& e : errors)
            if (!e.empty()) {
                error = e;
                return false;
            }
        return true;
    };

    StripeOutcome out;
    std::string error;
    if (!ResolveRanges(k, seg, wanted, m_policy, out, error, batch)) {
        res.ok = false;
        res.error = error;
        return false;
    }
    res.rebuilt += out.rebuilt;
    for (uint64_t bits = chunks; bits; bits &= bits - 1) {
        const unsigned c = static_cast<unsigned>(std::countr_zero(bits));
        const uint64_t at = k * kRunSize + c * kChunkSize;
        take(c, states[c % 4].At((c / 4) * kChunkSize), out.lostRanges.Within(at, kChunkSize));
    }
    return true;
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
        const uint64_t base = k * kRunSize;
        const uint64_t from = std::max(offset, base), to = std::min(end, base + kRunSize);
        // Chunks the cache has are copied at once; the others are assembled
        // together, so their positions are read in parallel.
        uint64_t missing = 0;
        for (uint64_t c = (from - base) / kChunkSize; base + c * kChunkSize < to; ++c) {
            const uint64_t at = base + c * kChunkSize;
            const uint64_t a = std::max(from, at), b = std::min(to, at + kChunkSize);
            if (m_cache->Get(at / kChunkSize, a - at, b - a, dst + (a - offset)))
                m_hits.fetch_add(1, std::memory_order_relaxed);
            else
                missing |= uint64_t{1} << c;
        }
        if (!missing)
            continue;
        m_misses.fetch_add(static_cast<uint64_t>(std::popcount(missing)), std::memory_order_relaxed);
        const bool assembled =
            AssembleChunks(k, missing, res, [&](unsigned c, const uint8_t* data, const JFileHandle::ExtentSet& lost) {
                const uint64_t at = base + c * kChunkSize;
                const uint64_t a = std::max(from, at), b = std::min(to, at + kChunkSize);
                std::memcpy(dst + (a - offset), data + (a - at), b - a);
                res.lost.Add(lost.Within(a, b - a));
                if (lost.Empty())
                    m_cache->Put(at / kChunkSize, data);
            });
        if (!assembled)
            return res;
    }
    return res;
}

} // namespace corvane
