// The analysis as the front ends run it: no source gives the "Please Add
// Disks Of Images" message; otherwise discovery and the LUN layout run on an
// emptied analysis state and the caller gets the LUN list or the code.
#pragma once

#include "engine/Context.h"

#include <string>

namespace corvane {

struct AnalysisResult {
    enum class Status { Ok, NoSources, Failed };
    Status status = Status::Ok;
    int code = 0;       // the error code when Failed (0 for a message that is no code)
    std::string text;   // what to show (UTF-8): the code's text or the no-source message
    std::string reason; // detail that came with the error, if any

    bool ok() const { return status == Status::Ok; }
};

// Runs on the caller's thread. Never throws: every failure comes back as a
// Failed result with its code and text.
AnalysisResult RunAnalysis(EvaContext& ctx);

} // namespace corvane
