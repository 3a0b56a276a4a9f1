// The digest of a LUN as the writer puts it on the target, on a thread of
// its own so the export's threads never wait for the hash function.
//
// The hasher walks the LUN in order. A stripe the writer writes from its
// buffers is offered before the write and hashed from those buffers while
// the write runs; the writer gives the buffers back only once the hasher is
// done with them. What no buffer holds (stripes the kernel copied, and the
// stripes an earlier run left on the target) is read back from the target
// once it is there. A target that cannot be read back (a pipe) must have
// every stripe offered.
#pragma once

#include "engine/Context.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace corvane {

inline constexpr unsigned kChunksPerStripe = static_cast<unsigned>(kRunSize / kChunkSize);

// Whether the hash is one an export can compute: "sha256", "md5", "sha1".
bool KnownHash(const std::string& name);

class StripeHasher {
public:
    // readFd: the target, opened for reading (-1: it cannot be read back);
    // start: where the LUN begins on it; onTarget: LUN bytes already there
    // (an earlier run's), read back first.
    StripeHasher(std::string algorithm, int readFd, uint64_t start, uint64_t lunBytes, uint64_t onTarget);
    ~StripeHasher();
    StripeHasher(const StripeHasher&) = delete;
    StripeHasher& operator=(const StripeHasher&) = delete;

    // Starts the thread; false (error says why) when the algorithm is
    // unknown or the thread cannot start.
    bool Start(std::string& error);

    // Writer thread, stripes in LUN order. chunks: the stripe's 128 KiB
    // chunks in LUN order, readable until AwaitOffered returns.
    void Offer(uint64_t stripe, const std::array<const uint8_t*, kChunksPerStripe>& chunks);
    // Until the hasher no longer reads what was offered.
    void AwaitOffered();
    // LUN bytes [0, lunEnd) are on the target.
    void Written(uint64_t lunEnd);

    // Once nothing more is written: the digest in lowercase hex, empty when
    // not every byte of the LUN was hashed (why: error).
    std::string Finish(std::string& error);

private:
    void Loop();
    void Fail(std::string why);

    const std::string m_algorithm;
    const int m_fd;
    const uint64_t m_start, m_end;
    std::atomic<uint64_t> m_ready;
    // The one pending offer: its stripe (UINT64_MAX: none) and chunks.
    std::atomic<uint64_t> m_offered{UINT64_MAX};
    std::array<const uint8_t*, kChunksPerStripe> m_chunks{};
    uint64_t m_offers = 0;                // writer thread only
    std::atomic<uint64_t> m_offersDone{0}; // offers the hasher is done with
    std::atomic<uint64_t> m_events{0};     // bumped whenever there is news for the hasher
    std::atomic<bool> m_finishing{false};
    void* m_md = nullptr;  // EVP_MD_CTX
    uint64_t m_pos = 0;    // hasher thread: LUN bytes hashed
    std::string m_error;   // hasher thread, read after join
    std::string m_digest;  // hasher thread, read after join
    std::thread m_thread;
};

} // namespace corvane
