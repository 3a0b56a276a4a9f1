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

void AwaitFlag(const Flag& f, uint8_t want)
{
    for (int i = 0; i < kPolls; ++i) {
        if (f.load(std::memory_order_acquire) == want)
            return;
        Relax();
    }
    for (;;) {
        const uint8_t v = f.load(std::memory_order_acquire);
        if (v == want)
            return;
        // Returns once f no longer holds v; the flags here only flip between
        // two values, so that is the store this thread waits for.
        f.wait(v, std::memory_order_acquire);
    }
}

bool AwaitFlagUnlessStopped(const Flag& f, uint8_t want, const Flag& stop)
{
    for (int i = 0;; ++i) {
        const uint8_t v = f.load(std::memory_order_seq_cst);
        // Stop is read after f: a stop set before the store of f that this
        // load saw is seen here, and a stop set later comes with a store to
        // f of its own, which ends the sleep below.
        if (stop.load(std::memory_order_seq_cst) != 0)
            return false;
        if (v == want)
            return true;
        if (i < kPolls)
            Relax();
        else
            f.wait(v, std::memory_order_acquire);
    }
}

void AwaitCount(const std::atomic<uint32_t>& counter, uint32_t target)
{
    for (int i = 0; i < kPolls; ++i) {
        if (counter.load(std::memory_order_acquire) >= target)
            return;
        Relax();
    }
    for (;;) {
        const uint32_t v = counter.load(std::memory_order_acquire);
        if (v >= target)
            return;
        counter.wait(v, std::memory_order_acquire);
    }
}

} // namespace corvane
