// One long job on the recovery context at a time. An analysis closes and
// reopens the members an export reads, and the context holds a single
// writer ring and target, so an analysis beside an export, or two exports,
// would corrupt each other. Whoever starts such a job takes the guard first
// and gives it back once its worker thread has ended; update functions
// disable the commands that would start one while IsBusy().
//
// Taken and given back on the user-interface thread; readable from any.
#pragma once

#include <atomic>

namespace corvane::ui {

enum class BusyJob { None, Analysis, Export };

namespace detail {
inline std::atomic<BusyJob> g_busyJob{BusyJob::None};
}

// Takes the guard for job; false (and nothing changes) when a job runs.
inline bool TryBeginBusy(BusyJob job)
{
    BusyJob idle = BusyJob::None;
    return job != BusyJob::None && detail::g_busyJob.compare_exchange_strong(idle, job);
}

// Gives the guard back, only if job holds it.
inline void EndBusy(BusyJob job)
{
    BusyJob held = job;
    detail::g_busyJob.compare_exchange_strong(held, BusyJob::None);
}

inline BusyJob CurrentBusy() { return detail::g_busyJob.load(); }
inline bool IsBusy() { return CurrentBusy() != BusyJob::None; }

} // namespace corvane::ui
