// Exporting a LUN: one reader thread per member of the member map, the
// export thread (the caller of ExportLun) that assembles each stripe and
// rebuilds a single missing segment from parity, and one writer thread that
// writes the stripes to the target, stripe k at start offset + k x 8 MiB.
#pragma once

#include "engine/Context.h"
#include "export/ExportState.h"
#include "export/ExportTarget.h"
#include "export/StripeHash.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace corvane {

// Called on the export thread before each stripe with the number of stripe
// records and the number started before this one. The result is ignored.
using ExportProgressFn = int (*)(int32_t total, int32_t done, void* user);

struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// Adds more to ranges, which stay sorted with overlapping or touching
// ranges merged.
void MergeRanges(std::vector<ByteRange>& ranges, const std::vector<ByteRange>& more);

// What a parity check found over the stripes of one run.
struct ParityReport {
    bool checked = false; // the run checked parity
    // Stripes: inconsistent when a block of it is; else unverifiable when a
    // block could not be checked (a position missing or unreadable there);
    // else consistent.
    uint32_t consistent = 0;
    uint32_t inconsistent = 0;
    uint32_t unverifiable = 0;
    // 4 KiB blocks of the stripes' segments.
    uint64_t consistentBlocks = 0;
    uint64_t inconsistentBlocks = 0;
    uint64_t unverifiableBlocks = 0;
    // LUN byte ranges of the data at inconsistent blocks, sorted and merged.
    std::vector<ByteRange> inconsistentRanges;
    // Per source that serves a position of a checked stripe, in member order.
    struct Source {
        std::string source;
        uint32_t stripes = 0;      // stripes it takes part in
        uint32_t inconsistent = 0; // of those, inconsistent
    };
    std::vector<Source> sources;
    // The sources that take part in every inconsistent stripe (none when
    // no stripe is inconsistent).
    std::vector<std::string> shared;

    uint32_t Stripes() const { return consistent + inconsistent + unverifiable; }
};

// Adds b's counts, ranges and sources to a; shared becomes the sources in
// every inconsistent stripe of both.
void AddParity(ParityReport& a, const ParityReport& b);

// How far an export got and what it could not recover. Counts cover the
// stripes this run wrote: firstStripe to firstStripe + written - 1.
struct ExportReport {
    uint32_t stripes = 0;     // stripe records of the LUN
    uint32_t firstStripe = 0; // where this run began (a resumed run: later than 0)
    uint32_t written = 0;     // stripes on the target, back to back from firstStripe
    uint32_t complete = 0;    // every data byte read from its own segment
    uint32_t rebuilt = 0;     // some bytes rebuilt from parity, none lost
    uint32_t damaged = 0;     // some bytes lost (written as zeros)
    uint64_t zeroFilledSegments = 0; // data segments with lost bytes
    // LUN data bytes of the written stripes: read, rebuilt from parity, lost.
    uint64_t bytesRead = 0;
    uint64_t bytesRebuilt = 0;
    uint64_t bytesLost = 0;
    // LUN byte ranges written as zeros, sorted and merged.
    std::vector<ByteRange> zeroRanges;
    bool cancelled = false;
    ParityReport parity; // when the export checked parity

    // Every stripe record is on the target.
    bool Finished() const { return firstStripe + written == stripes; }
    // LUN bytes [firstStripe x 8 MiB, DoneEnd()) are on the target.
    uint64_t DoneEnd() const { return (static_cast<uint64_t>(firstStripe) + written) * kRunSize; }
};

struct ExportControl {
    // Set by the caller from any thread to stop the export: no stripe is
    // started after it, and stripes assembled but not yet written are
    // dropped (the report and the map say they are not done).
    const std::atomic<bool>* stop = nullptr;
    // Resume: stripe records before this one are taken as done; the first
    // exported stripe still lands at start offset + firstStripe x 8 MiB.
    uint32_t firstStripe = 0;
    // Where the console lines go (null: nowhere).
    FILE* console = stdout;
    // Called on the export thread with the report so far, at most once per
    // interval between stripes, and once more when the export has ended,
    // also after a failure or a stop. What it reports as written is on
    // stable storage when it is called (the target was synced first).
    std::function<void(const ExportReport&)> checkpoint;
    std::chrono::milliseconds checkpointInterval{1000};
    // Called on the writer thread after each stripe is on the target, with
    // the stripes written so far in this run.
    std::function<void(uint32_t written)> onWritten;
    // Called before each thread is started (readers in matrix order, then
    // the writer, numbered from 0); a std::system_error thrown here counts
    // as that thread failing to start. For tests.
    std::function<void(unsigned)> beforeThreadStart;
    // Read all five positions of every stripe and check its parity per 4 KiB
    // block (the report's parity).
    bool verifyParity = false;
    // False: nothing is written and no target is needed, for a parity check
    // alone; the stripes count as written once checked.
    bool writeTarget = true;
    // Receives the final report, also when ExportLun throws.
    ExportReport* report = nullptr;
    // Gets every stripe written, in order (started by the caller).
    StripeHasher* hasher = nullptr;
};

// Copies the LUN whose stripe records are given to the context's export
// target (OpenExportTarget), from startOffset on. Returns once every thread
// it started has left; a stop request returns normally with cancelled set.
// Failures are EvaError: 1 no target is open (or the context is busy with
// another job), 11 the target or a member cannot be positioned, 8 a write
// or the final sync failed, 10 a thread could not be started. Unreadable
// member bytes are no failure: they are rebuilt or lost, and reported.
// Every thread is stopped before the error leaves, and the stripes written
// before it are in the report.
ExportReport ExportLun(EvaContext& ctx, const std::vector<LayoutRecord>& records, uint64_t startOffset,
                       ExportProgressFn progress, void* user, const ExportControl& control = {});

} // namespace corvane
