#include "export/StripeHash.h"

#include "export/Flag.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace corvane {

namespace {

EVP_MD_CTX* Md(void* p)
{
    return static_cast<EVP_MD_CTX*>(p);
}

// What a read-back takes at a time: large enough to cost one call per
// megabyte, small enough not to count in the export's memory.
constexpr uint64_t kReadBack = 1 << 20;

} // namespace

bool KnownHash(const std::string& name)
{
    return name == "sha256" || name == "md5" || name == "sha1";
}

StripeHasher::StripeHasher(std::string algorithm, int readFd, uint64_t start, uint64_t lunBytes, uint64_t onTarget)
    : m_algorithm(std::move(algorithm)), m_fd(readFd), m_start(start), m_end(lunBytes), m_ready(onTarget)
{
}

StripeHasher::~StripeHasher()
{
    if (m_thread.joinable()) {
        m_finishing.store(true, std::memory_order_release);
        CountUp(m_events);
        m_thread.join();
    }
    EVP_MD_CTX_free(Md(m_md));
}

bool StripeHasher::Start(std::string& error)
{
    const EVP_MD* md = KnownHash(m_algorithm) ? EVP_get_digestbyname(m_algorithm.c_str()) : nullptr;
    if (!md) {
        error = "unknown hash " + m_algorithm + " (sha256, md5 or sha1)";
        return false;
    }
    m_md = EVP_MD_CTX_new();
    if (!m_md || EVP_DigestInit_ex(Md(m_md), md, nullptr) != 1) {
        error = "cannot set up the " + m_algorithm + " digest";
        return false;
    }
    try {
        m_thread = std::thread([this] { Loop(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the hashing thread: ") + e.what();
        return false;
    }
    return true;
}

void StripeHasher::Offer(uint64_t stripe, const std::array<const uint8_t*, kChunksPerStripe>& chunks)
{
    m_chunks = chunks;
    ++m_offers;
    m_offered.store(stripe, std::memory_order_release);
    CountUp(m_events);
}

void StripeHasher::AwaitOffered()
{
    AwaitCount(m_offersDone, m_offers);
}

void StripeHasher::Written(uint64_t lunEnd)
{
    m_ready.store(lunEnd, std::memory_order_release);
    CountUp(m_events);
}

void StripeHasher::Fail(std::string why)
{
    if (m_error.empty())
        m_error = std::move(why);
}

void StripeHasher::Loop()
{
    std::vector<uint8_t> buffer;
    for (;;) {
        const uint64_t seen = m_events.load(std::memory_order_acquire);
        const uint64_t offered = m_offered.load(std::memory_order_acquire);
        const uint64_t ready = std::min(m_ready.load(std::memory_order_acquire), m_end);
        // An offered stripe waits only while the bytes before it are still
        // to be read back.
        if (offered != UINT64_MAX && (!m_error.empty() || offered * kRunSize <= m_pos || ready <= m_pos)) {
            if (!m_error.empty()) {
                // Nothing more is hashed, but the writer gets its buffers back.
            } else if (offered * kRunSize == m_pos && m_pos + kRunSize <= m_end) {
                for (const uint8_t* c : m_chunks)
                    EVP_DigestUpdate(Md(m_md), c, kChunkSize);
                m_pos += kRunSize;
            } else {
                // Out of order, or a gap before it that nothing will fill.
                Fail("stripe " + std::to_string(offered) + " came out of order (" + std::to_string(m_pos) +
                     " bytes hashed)");
            }
            m_offered.store(UINT64_MAX, std::memory_order_relaxed);
            CountUp(m_offersDone);
            continue;
        }
        if (m_error.empty() && m_pos < ready) {
            if (m_fd < 0) {
                Fail("the target cannot be read back");
                continue;
            }
            if (buffer.empty())
                buffer.resize(kReadBack);
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBack, ready - m_pos));
            const ssize_t n = ::pread(m_fd, buffer.data(), want, static_cast<off_t>(m_start + m_pos));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                Fail("cannot read the target back at " + std::to_string(m_start + m_pos) + ": " +
                     (n == 0 ? std::string("it ends there") : std::string(std::strerror(errno))));
                continue;
            }
            EVP_DigestUpdate(Md(m_md), buffer.data(), static_cast<size_t>(n));
            m_pos += static_cast<uint64_t>(n);
            continue;
        }
        if (offered == UINT64_MAX && m_finishing.load(std::memory_order_acquire))
            break;
        AwaitCount(m_events, seen + 1);
    }
    if (!m_error.empty())
        return;
    if (m_pos != m_end) {
        Fail("the export ended after " + std::to_string(m_pos) + " of " + std::to_string(m_end) + " bytes");
        return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (EVP_DigestFinal_ex(Md(m_md), digest, &len) != 1) {
        Fail("the " + m_algorithm + " digest failed");
        return;
    }
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        m_digest += two;
    }
}

std::string StripeHasher::Finish(std::string& error)
{
    if (m_thread.joinable()) {
        m_finishing.store(true, std::memory_order_release);
        CountUp(m_events);
        m_thread.join();
    } else if (m_error.empty()) {
        m_error = "the hashing thread did not run";
    }
    error = m_error;
    return m_error.empty() ? m_digest : std::string();
}

} // namespace corvane
