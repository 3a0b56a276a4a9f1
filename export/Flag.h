// The one-byte hand-over flags of the export threads and the way they wait.
//
// A flag store that hands data over is a release store, the load that takes
// it an acquire load. A waiting thread polls its flag briefly (a hand-over
// usually follows within microseconds) and then sleeps on that same flag
// until the other side stores a new value and notifies: with one reader
// thread per member and two cores, threads that only spin would take the
// processor from the threads doing the I/O. Every store another thread may
// be waiting for therefore goes through Publish, which notifies.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

using Flag = std::atomic<uint8_t>;

// Stores v (release) and wakes whoever sleeps on f.
inline void Publish(Flag& f, uint8_t v, std::memory_order order = std::memory_order_release)
{
    f.store(v, order);
    f.notify_all();
}

// Waits until f holds want; the load that sees it is an acquire load.
void AwaitFlag(const Flag& f, uint8_t want);

// Waits until f holds want (true) or stop is set (false; stop wins when both
// hold). Only a store to f wakes the sleeper, so whoever sets stop while this
// thread may sleep must then store f as well.
bool AwaitFlagUnlessStopped(const Flag& f, uint8_t want, const Flag& stop);

// Waits until a counter that only grows reaches at least target.
void AwaitCount(const std::atomic<uint32_t>& counter, uint32_t target);

} // namespace corvane
