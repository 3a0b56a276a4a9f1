// One export as both front ends run it: the target opened and checked, the
// rescue map loaded for a resume, checkpoints that sync the target and then
// save the map, the final map, and the image file cut to the LUN when the
// user asked for a replacement. The desktop program and corvane-cli differ
// only in how they ask and what they show.
#pragma once

#include "engine/Errors.h"
#include "export/Export.h"
#include "export/RescueMap.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace corvane {

// The target name that means standard output: the LUN is streamed there in
// order (no offset, no sparse output, no resume from a map).
inline constexpr const char* kStandardOutput = "-";

struct ExportJobSettings {
    std::string target;        // image file or disk device (narrow, the locale's encoding), or kStandardOutput
    uint64_t startOffset = 0;  // bytes
    std::string mapPath;       // the rescue map to keep (empty: none)
    bool resume = false;       // continue the export the map says was interrupted
    std::string program = "corvane-cli"; // who writes the map
    std::string commandLine;   // for the map's header
    // An image file the user agreed to replace is cut to the LUN's length
    // once every stripe is on it (a stale tail must not follow the LUN).
    bool truncateWhenFinished = false;
    const std::atomic<bool>* stop = nullptr;
    FILE* console = stdout;
    ExportProgressFn progress = nullptr;
    void* user = nullptr;
    std::function<void(uint32_t written)> onWritten;
    std::chrono::milliseconds checkpointInterval{1000};
    // Start over even when the map belongs to another export or the target
    // no longer matches it; the map is rewritten.
    bool restart = false;
    // Also export again the stripes that hold '-' ranges of the map, so
    // what reads now turns '+'.
    bool retryBad = false;
    // "sha256", "md5" or "sha1": hash the LUN's bytes as they are written,
    // on a thread of its own (see StripeHasher). Empty: none.
    std::string hash;
    // An image file target keeps every all-zero 4 KiB block as a hole.
    bool sparse = false;
    // Check each stripe's parity while exporting (all five positions read).
    // With a map, its inconsistent ranges go to MAP.inconsistent ('-'
    // inconsistent, '+' checked and consistent): the export map has no
    // status for "read but inconsistent", so they stay '+' there.
    bool verifyParity = false;
};

struct ExportJobResult {
    // 0; the error code (1 to 17) of a failure; 64 a map of another export
    // (or a target that no longer matches it) or a map path that cannot
    // be used; 66 a map that is not a mapfile.
    int status = 0;
    std::string message;            // why it failed (UTF-8), for the user: text and reason
    std::string text;               // the code's text alone
    std::string reason;             // what the engine said about it
    std::vector<std::string> warnings; // e.g. the map could not be saved
    std::vector<std::string> notes;    // e.g. where a resume began
    ExportReport report;
    bool started = false;           // ExportLun ran (the target was opened)
    // Summed over this run's passes (the stripes retried, then the rest);
    // report.firstStripe and report.written are those of the last pass.
    ExportReport total;
    bool resumed = false;           // the map said where to continue
    uint32_t retriedStripes = 0;    // stripes exported again for --retry-bad
    // LUN bytes past its stripe records (declared capacity longer than the
    // records cover): '-' in the map, nothing on the target.
    uint64_t uncoveredBytes = 0;
    double elapsedSeconds = 0;
    std::string hashAlgorithm;      // as asked
    std::string hash;               // lowercase hex; empty when not finished
    // The map's totals after the run.
    uint64_t mapRescued = 0, mapLost = 0, mapPending = 0;
    std::string inconsistentMap; // where the inconsistent ranges went (verifyParity with a map)
    std::vector<std::string> excluded; // sources treated as missing (--exclude), as opened
};

// The note that ties a mapfile to one export: a resume must continue the
// same LUN at the same place of the same target.
// The target is named by its device and inode (a path can be spelled many
// ways); the path follows for people reading the map.
std::string ExportIdentity(const LunEntry& lun, uint64_t startOffset, const std::string& target);
std::string ExportIdentity(const LunEntry& lun, uint64_t startOffset, const struct stat& target,
                           const std::string& targetPath);

class ExportJob {
public:
    ExportJob(EvaContext& ctx, const LunEntry& lun, ExportJobSettings settings);

    // Loads the map (for a resume) and opens the target. On the caller's
    // thread (the desktop program's user-interface thread). False with the
    // result's status and message set when the export cannot start.
    bool Prepare();
    // Runs the export (on a worker thread in the desktop program) and
    // returns the result; call after a successful Prepare.
    const ExportJobResult& Run();

    const ExportJobResult& Result() const { return m_result; }
    // Where a stop request will come from, when it is known only after
    // the job was made (before Run).
    void SetStop(const std::atomic<bool>* stop) { m_settings.stop = stop; }
    const RescueMap& Map() const { return m_map; }
    uint32_t FirstStripe() const { return m_firstStripe; }
    // LUN bytes this run writes in all, and how many are on the target so
    // far (any thread; for a progress display).
    uint64_t BytesToWrite() const { return m_toWrite; }
    uint64_t BytesWritten() const { return m_writtenBytes.load(std::memory_order_relaxed); }

private:
    void SaveMap(const ExportReport& r);
    void SaveInconsistent();
    void Fail(const EvaError& e);
    bool Refuse(int status, std::string message);
    bool CheckMapPath();
    bool Stream() const { return m_settings.target == kStandardOutput; }

    EvaContext& m_ctx;
    const LunEntry& m_lun;
    ExportJobSettings m_settings;
    RescueMap m_map;
    RescueMap m_inconsistent; // verifyParity: '-' where parity disagrees
    uint32_t m_firstStripe = 0;
    bool m_mapWarned = false;
    std::vector<std::pair<uint32_t, uint32_t>> m_retry; // [first, end) stripe runs to export again
    uint64_t m_toWrite = 0;
    std::atomic<uint64_t> m_writtenBytes{0};
    ExportJobResult m_result;
};

} // namespace corvane
