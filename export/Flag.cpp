#include "export/Flag.h"

namespace corvane {

namespace {
// About 20 to 50 microseconds of polling before the thread goes to sleep.
constexpr int kPolls = 512;

inline void Relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
} // namespace

bool AwaitTurn(const Turn& t, uint64_t want)
{
    for (int i = 0;; ++i) {
        const uint64_t v = t.load(std::memory_order_acquire);
        if (v == want)
            return true;
        if (v == kStopped)
            return false;
        if (i < kPolls)
            Relax();
        else
            t.wait(v, std::memory_order_acquire); // until t no longer holds v
    }
}

void AwaitStop(const Turn& t)
{
    for (;;) {
        const uint64_t v = t.load(std::memory_order_acquire);
        if (v == kStopped)
            return;
        t.wait(v, std::memory_order_acquire);
    }
}

bool PassTurn(Turn& t, uint64_t from, uint64_t to)
{
    uint64_t expected = from;
    const bool passed = t.compare_exchange_strong(expected, to, std::memory_order_acq_rel, std::memory_order_acquire);
    if (passed)
        t.notify_all();
    return passed;
}

void StopTurn(Turn& t)
{
    t.store(kStopped, std::memory_order_release);
    t.notify_all();
}

void AwaitCount(const std::atomic<uint64_t>& counter, uint64_t target)
{
    for (int i = 0;; ++i) {
        const uint64_t v = counter.load(std::memory_order_acquire);
        if (v >= target)
            return;
        if (i < kPolls)
            Relax();
        else
            counter.wait(v, std::memory_order_acquire);
    }
}

void CountUp(std::atomic<uint64_t>& counter)
{
    counter.fetch_add(1, std::memory_order_acq_rel);
    counter.notify_all();
}

} // namespace corvane
