// Any byte range of a LUN, read on demand from the members through the
// export's stripe rules (ResolveRanges): what a mount, a content probe or a
// viewer reads without copying the LUN first.
#pragma once

#include "disk/Extents.h"
#include "engine/Context.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
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

class LunReader {
public:
    struct Options {
        // Assembled chunks kept for repeated reads; 0: no cache.
        uint64_t cacheBytes = 256ull << 20;
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
    class Cache;
    // Assembles the chunks of stripe k that `chunks` names (bit c: chunk c
    // of the stripe, 0..63) and hands each to `take` with the LUN ranges
    // of it that were lost. False with res.error when a member refused.
    template <class Take>
    bool AssembleChunks(uint64_t k, uint64_t chunks, LunReadResult& res, Take&& take);

    uint64_t m_size = 0;
    uint32_t m_group = 0, m_id = 0;
    JFileHandle::ReadPolicy m_policy;
    std::vector<LayoutRecord> m_records;
    std::array<std::array<MemberDisk*, kColumns>, kRows> m_map{};
    std::unique_ptr<Pool> m_pool;
    std::unique_ptr<Cache> m_cache;
    std::atomic<uint64_t> m_hits{0}, m_misses{0}, m_memberBytes{0};
};

} // namespace corvane
