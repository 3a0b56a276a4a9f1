#include "export/ExportJob.h"

#include "engine/Errors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

std::string ExportIdentity(const LunEntry& lun, uint64_t startOffset, const std::string& target)
{
    return "corvane lun " + std::to_string(lun.group) + ":" + std::to_string(lun.id) + " stripes " +
           std::to_string(lun.stripeRecords.size()) + " offset " + std::to_string(startOffset) + " target " + target;
}

ExportJob::ExportJob(EvaContext& ctx, const LunEntry& lun, ExportJobSettings settings)
    : m_ctx(ctx), m_lun(lun), m_settings(std::move(settings)), m_map(lun.CoveredBytes())
{
}

bool ExportJob::Prepare()
{
    const ExportJobSettings& s = m_settings;
    const uint64_t bytes = m_lun.CoveredBytes();
    const std::string identity = ExportIdentity(m_lun, s.startOffset, s.target);
    m_result = {};
    if (!s.mapPath.empty()) {
        struct stat st {};
        if (::stat(s.mapPath.c_str(), &st) == 0) {
            std::string text, error;
            RescueMap old;
            if (!LoadFile(s.mapPath, text, error) || !RescueMap::Parse(text, old, error)) {
                m_result.status = 66;
                m_result.message = s.mapPath + " exists and is not a mapfile (" + error + "); it is left alone";
                return false;
            }
            if (s.resume) {
                const bool same = old.Size() == bytes && old.notes.size() == 1 && old.notes[0] == identity;
                if (!same) {
                    m_result.status = 64;
                    m_result.message = s.mapPath + " belongs to another export (" +
                                       (old.notes.empty() ? std::string("no export noted") : old.notes[0]) +
                                       "); this one is " + identity;
                    return false;
                }
                m_map = old;
                m_firstStripe = static_cast<uint32_t>(m_map.FirstNotDone() / kRunSize);
                // Everything from the resume point on is done again.
                m_map.Mark(static_cast<uint64_t>(m_firstStripe) * kRunSize, bytes, '?');
            }
        } else if (s.resume) {
            m_result.notes.push_back("no mapfile " + s.mapPath + " yet: starting at the first stripe");
        }
        m_map.notes = {identity};
    }
    try {
        OpenExportTarget(m_ctx, s.target, s.startOffset, bytes);
    } catch (const EvaError& e) {
        Fail(e);
        return false;
    }
    return true;
}

void ExportJob::Fail(const EvaError& e)
{
    m_result.status = e.code();
    m_result.text = MessageText(e.what());
    m_result.reason = e.reason();
    m_result.message = m_result.text + (m_result.reason.empty() ? "" : " (" + m_result.reason + ")");
}

void ExportJob::SaveMap(const ExportReport& r)
{
    if (m_settings.mapPath.empty())
        return;
    ApplyReport(m_map, r);
    std::string error;
    if (!SaveFileAtomically(m_settings.mapPath, m_map.Render(m_settings.commandLine, m_settings.program), error) &&
        !m_mapWarned) {
        m_mapWarned = true;
        m_result.warnings.push_back(error + "; the mapfile on disk is the previous one");
    }
}

const ExportJobResult& ExportJob::Run()
{
    const ExportJobSettings& s = m_settings;
    {
        // Written before the first stripe, so an interrupted run always has a map.
        ExportReport none;
        none.stripes = static_cast<uint32_t>(m_lun.stripeRecords.size());
        none.firstStripe = m_firstStripe;
        SaveMap(none);
    }
    ExportControl control;
    control.stop = s.stop;
    control.firstStripe = m_firstStripe;
    control.console = s.console;
    control.checkpoint = [this](const ExportReport& r) { SaveMap(r); };
    control.checkpointInterval = s.checkpointInterval;
    control.onWritten = s.onWritten;
    control.report = &m_result.report;
    m_result.started = true;
    try {
        m_result.report = ExportLun(m_ctx, m_lun.stripeRecords, s.startOffset, s.progress, s.user, control);
    } catch (const EvaError& e) {
        Fail(e);
    }
    if (m_result.status == 0 && m_result.report.Finished() && s.truncateWhenFinished) {
        // Only a regular file, and only a tail beyond the LUN.
        ExportState& st = AttachExportState(m_ctx);
        struct stat info {};
        const int fd = st.target.io ? st.target.io->Handle() : -1;
        const uint64_t end = s.startOffset + m_lun.CoveredBytes();
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > end &&
            ::ftruncate(fd, static_cast<off_t>(end)) != 0)
            Fail(EvaError(kWriteFailed, s.target + ": cannot cut it to the LUN's length: " + std::strerror(errno)));
    }
    return m_result;
}

} // namespace corvane
