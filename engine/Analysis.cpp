#include "engine/Analysis.h"

#include "engine/Errors.h"
#include "engine/Exclude.h"

#include <exception>

namespace corvane {

AnalysisResult RunAnalysis(EvaContext& ctx)
{
    AnalysisResult result;
    if (ctx.sources.empty()) {
        result.status = AnalysisResult::Status::NoSources;
        result.text = kNoSourcesText;
        return result;
    }
    ScopedJob job(ctx, ContextJob::Analysis);
    if (!job.Held()) {
        // An export's threads read the members this would close.
        result.status = AnalysisResult::Status::Failed;
        result.code = kOpenDeviceFailed;
        result.text = MessageText(std::to_string(kOpenDeviceFailed).c_str());
        result.reason = "an export or another analysis is running on these sources";
        return result;
    }
    try {
        // Start from an emptied state: a repeated analysis never appends to
        // what the last one left.
        ctx.ResetAnalysis();
        ctx.DiscoverArray();
        ctx.BuildLunLayout();
        std::string error;
        if (!ExcludeSources(ctx, ctx.exclude, error)) {
            result.status = AnalysisResult::Status::Failed;
            result.text = error;
            return result;
        }
        result.status = AnalysisResult::Status::Ok;
    } catch (const EvaError& e) {
        result.status = AnalysisResult::Status::Failed;
        result.code = e.code();
        result.text = MessageText(e.what());
        result.reason = e.reason();
    } catch (const std::exception& e) {
        result.status = AnalysisResult::Status::Failed;
        result.code = MessageCode(e.what());
        result.text = MessageText(e.what());
    }
    return result;
}

} // namespace corvane
