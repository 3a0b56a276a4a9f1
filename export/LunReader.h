// Any byte range of a LUN, read on demand from the members through the
// export's stripe rules (ResolveRanges): what a mount, a content probe or a
// viewer reads without copying the LUN first.
#pragma once

#include "disk/Extents.h"
#include "engine/Context.h"
#include "export/Segment.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

struct LunReadResult {
    // False: the range lies past the LUN, or a member refused a position
    // (error says which source and where); the buffer is then not valid.
    bool ok = true;
    std::string error;
    // LUN offsets of the request that no member or parity could give (two
    // or more positions unreadable there): zero in the buffer.
    JFileHandle::ExtentSet lost;
    uint64_t rebuilt = 0; // bytes rebuilt from parity in the chunks assembled for it
};

struct LunReaderStats {
    uint64_t cacheHits = 0;   // 128 KiB chunks served from the cache
    uint64_t cacheMisses = 0; // chunks assembled from the members
    uint64_t memberBytes = 0; // bytes read from members, parity included
};

// Whole 128 KiB chunks as readers assembled them, least recently used out
// first, bounded in bytes; one cache may serve several readers (a mount of
// many LUNs). Chunks with lost bytes are not kept: a later read tries again.
class LunCache {
public:
    explicit LunCache(uint64_t bytes);
    ~LunCache();
    LunCache(const LunCache&) = delete;
    LunCache& operator=(const LunCache&) = delete;

    struct Key {
        const void* owner; // the reader
        uint64_t chunk;    // LUN offset / 128 KiB
        friend bool operator==(const Key&, const Key&) = default;
    };
    // Copies bytes [from, from + length) of the chunk out, when held.
    bool Get(const Key& key, uint64_t from, uint64_t length, uint8_t* out);
    void Put(const Key& key, const uint8_t* data);
    // Drops an owner's chunks.
    void Forget(const void* owner);

private:
    struct Entry;
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    std::mutex m_mutex;
    const size_t m_capacity; // chunks
    std::list<Entry> m_lru;  // newest first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> m_index;
};

class LunReader {
public:
    struct Options {
        // Assembled chunks kept for repeated reads; 0: no cache. A chunk a
        // read asked for in part is kept (the rest of it tends to come
        // next); chunks read whole go straight into the caller's buffer,
        // for the caller to keep (a mount: the kernel's page cache).
        uint64_t cacheBytes = 256ull << 20;
        // A cache shared with other readers (cacheBytes is then not used).
        std::shared_ptr<LunCache> cache;
        // Threads that read members in parallel; 0: one per member of the
        // member map (at most 16).
        unsigned threads = 0;
    };

    // Takes the LUN's stripe records and the member map as they are now;
    // the members must stay open while the reader lives.
    LunReader(const EvaContext& ctx, const LunEntry& lun, Options options);
    LunReader(const EvaContext& ctx, const LunEntry& lun);
    ~LunReader();
    LunReader(const LunReader&) = delete;
    LunReader& operator=(const LunReader&) = delete;

    // What an export of the LUN writes: its stripe records x 8 MiB.
    uint64_t Size() const { return m_size; }
    uint32_t Group() const { return m_group; }
    uint32_t Id() const { return m_id; }

    // Reads [offset, offset + length) of the LUN into buffer. Thread-safe:
    // any number of callers may read at once.
    LunReadResult Read(uint64_t offset, void* buffer, uint64_t length);

    LunReaderStats Stats() const;

private:
    class Pool;
    // Reads LUN bytes [from, to) of stripe k into dst. False with
    // res.error when a member refused.
    bool ReadStripe(uint64_t k, uint64_t from, uint64_t to, uint8_t* dst, LunReadResult& res);
    // Brings in a set of loads, the positions of different members at once.
    bool LoadParallel(std::vector<RangeLoad>& loads, std::string& error);

    uint64_t m_size = 0;
    uint32_t m_group = 0, m_id = 0;
    JFileHandle::ReadPolicy m_policy;
    std::vector<LayoutRecord> m_records;
    std::array<std::array<MemberDisk*, kColumns>, kRows> m_map{};
    std::unique_ptr<Pool> m_pool;
    std::shared_ptr<LunCache> m_cache;
    std::atomic<uint64_t> m_hits{0}, m_misses{0}, m_memberBytes{0};
};

} // namespace corvane
