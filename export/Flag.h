// How the export threads hand ring slots to each other.
//
// Every ring slot carries one sequence number, its turn: 2i means the slot
// is free for request i of its ring, 2i + 1 that it holds request i for the
// next stage. Whoever finishes with a slot passes the turn on (a release
// store), whoever waits for it loads it (acquire). A waiting thread polls
// briefly (a hand-over usually follows within microseconds), then sleeps on
// the turn until it changes: with one reader thread per member and two
// cores, threads that only spin would take the processor from the threads
// doing the I/O. Shutting down stores kStopped into every turn, which wakes
// every sleeper.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

using Turn = std::atomic<uint64_t>;
inline constexpr uint64_t kStopped = UINT64_MAX;

// Waits until t holds want (true) or kStopped (false).
bool AwaitTurn(const Turn& t, uint64_t want);

// Waits until t holds kStopped.
void AwaitStop(const Turn& t);

// Moves t from `from` to `to` and wakes its waiters; false (and nothing
// changed) when t no longer holds `from`: the slot was stopped.
bool PassTurn(Turn& t, uint64_t from, uint64_t to);

// Stores kStopped and wakes every waiter.
void StopTurn(Turn& t);

// Waits until a counter that only grows reaches at least target.
void AwaitCount(const std::atomic<uint64_t>& counter, uint64_t target);
// Adds one and wakes the waiters.
void CountUp(std::atomic<uint64_t>& counter);

} // namespace corvane
