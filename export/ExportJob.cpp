#include "export/ExportJob.h"

#include "engine/Errors.h"
#include "engine/Exclude.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace corvane {

namespace {

// Names the stripe records, so a map of another LUN that happens to share
// group, id and length (another disk group) is not taken for this one.
std::string LayoutDigest(const LunEntry& lun)
{
    uint64_t h = 14695981039346656037ull;
    for (const LayoutRecord& r : lun.stripeRecords)
        for (uint8_t b : r.raw) {
            h ^= b;
            h *= 1099511628211ull;
        }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, h);
    return buf;
}

std::string Head(const LunEntry& lun, uint64_t startOffset)
{
    return "corvane lun " + std::to_string(lun.group) + ":" + std::to_string(lun.id) + " stripes " +
           std::to_string(lun.stripeRecords.size()) + " layout " + LayoutDigest(lun) + " offset " +
           std::to_string(startOffset);
}

struct NotedTarget {
    bool found = false;
    std::string head; // everything before " target "
    unsigned long long dev = 0, ino = 0;
    std::string path;
};

// "... target dev D ino I path P"
NotedTarget ParseIdentity(const std::string& note)
{
    NotedTarget t;
    const size_t at = note.find(" target dev ");
    if (note.compare(0, 12, "corvane lun ") != 0 || at == std::string::npos)
        return t;
    t.head = note.substr(0, at);
    std::istringstream in(note.substr(at + 12));
    std::string ino, path;
    if (!(in >> t.dev >> ino >> t.ino >> path) || ino != "ino" || path != "path")
        return t;
    std::getline(in, t.path);
    if (!t.path.empty() && t.path[0] == ' ')
        t.path.erase(0, 1);
    t.found = true;
    return t;
}

const std::string* IdentityNote(const RescueMap& map)
{
    for (const std::string& n : map.notes)
        if (n.compare(0, 12, "corvane lun ") == 0)
            return &n;
    return nullptr;
}

// Whether two paths name one file: by device and inode when both exist,
// else by their absolute, normalised spelling (a file still to be made).
bool SamePath(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    const bool ea = ::stat(a.c_str(), &sa) == 0, eb = ::stat(b.c_str(), &sb) == 0;
    if (ea && eb)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (ea != eb)
        return false;
    std::error_code e1, e2;
    const auto ca = std::filesystem::weakly_canonical(a, e1), cb = std::filesystem::weakly_canonical(b, e2);
    return !e1 && !e2 && ca == cb;
}

std::string Plural(uint64_t n, const char* what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

} // namespace

std::string ExportIdentity(const LunEntry& lun, uint64_t startOffset, const std::string& target)
{
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0)
        st = {};
    return ExportIdentity(lun, startOffset, st, target);
}

std::string ExportIdentity(const LunEntry& lun, uint64_t startOffset, const struct stat& target,
                           const std::string& targetPath)
{
    return Head(lun, startOffset) + " target dev " + std::to_string(static_cast<unsigned long long>(target.st_dev)) +
           " ino " + std::to_string(static_cast<unsigned long long>(target.st_ino)) + " path " + targetPath;
}

ExportJob::ExportJob(EvaContext& ctx, const LunEntry& lun, ExportJobSettings settings)
    : m_ctx(ctx), m_lun(lun), m_settings(std::move(settings)), m_map(lun.CoveredBytes())
{
}

bool ExportJob::Refuse(int status, std::string message)
{
    m_result.status = status;
    m_result.message = std::move(message);
    return false;
}

bool ExportJob::CheckMapPath()
{
    const ExportJobSettings& s = m_settings;
    const std::string& map = s.mapPath;
    const size_t slash = map.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : map.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Refuse(64, "cannot keep the mapfile " + map + ": the directory " + dir + " does not exist");
    if (::stat(map.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return Refuse(64, "the mapfile " + map + " is not a regular file");
    if (Stream()) {
        struct stat out {}, m {};
        if (::fstat(STDOUT_FILENO, &out) == 0 && ::stat(map.c_str(), &m) == 0 && out.st_dev == m.st_dev &&
            out.st_ino == m.st_ino)
            return Refuse(64, "the mapfile " + map + " is where standard output goes: saving the map would "
                              "replace the export");
    } else if (SamePath(map, s.target)) {
        return Refuse(64, "the mapfile " + map + " is the target " + s.target +
                              ": saving the map would replace the export");
    }
    for (const SourceEntry& e : m_ctx.sources) {
        if (SamePath(map, e.path))
            return Refuse(64, "the mapfile " + map + " is the source " + e.path);
        if (!e.mapfile.empty() && SamePath(map, e.mapfile))
            return Refuse(64, "the mapfile " + map + " is the imaging map of the source " + e.path);
    }
    return true;
}

bool ExportJob::Prepare()
{
    const ExportJobSettings& s = m_settings;
    const uint64_t covered = m_lun.CoveredBytes();
    const uint64_t declared = m_lun.DeclaredBytes();
    // The part of the declared capacity that no stripe record covers cannot
    // be recovered from the metadata: '-' from the start.
    const uint64_t domain = std::max(covered, declared == UINT64_MAX ? covered : declared);
    const uint32_t count = static_cast<uint32_t>(m_lun.stripeRecords.size());
    m_result = {};
    m_result.uncoveredBytes = domain - covered;
    m_result.hashAlgorithm = s.hash;
    m_result.excluded = ExcludedSources(m_ctx);
    m_map = RescueMap(domain);
    m_map.Mark(covered, domain - covered, '-');
    m_firstStripe = 0;
    m_retry.clear();

    if (!s.hash.empty() && !KnownHash(s.hash))
        return Refuse(64, "unknown hash " + s.hash + " (sha256, md5 or sha1)");
    if (Stream()) {
        // A pipe is written once, in order, from the LUN's first byte.
        if (s.startOffset != 0)
            return Refuse(64, "standard output cannot seek: an offset (--offset-sectors) needs a file or device");
        if (s.sparse)
            return Refuse(64, "--sparse is for image files; standard output cannot hold holes");
        if (s.retryBad)
            return Refuse(64, "--retry-bad writes stripes again in place; standard output is written once, in order");
    }
    // Said before anything is opened or read.
    if (const std::string loss = ExclusionLoss(m_ctx, m_lun.stripeRecords); !loss.empty())
        return Refuse(64, "LUN " + std::to_string(m_lun.group) + ":" + std::to_string(m_lun.id) + ": " + loss);
    struct stat tst {};
    const bool targetExists = !Stream() && ::stat(s.target.c_str(), &tst) == 0;
    if (s.sparse && targetExists && S_ISBLK(tst.st_mode))
        return Refuse(64, "--sparse is for image files; " + s.target + " is a block device");

    if (!s.mapPath.empty()) {
        if (!CheckMapPath())
            return false;
        struct stat mst {};
        if (::stat(s.mapPath.c_str(), &mst) == 0) {
            std::string text, error;
            RescueMap old;
            if (!LoadFile(s.mapPath, text, error) || !RescueMap::Parse(text, old, error))
                return Refuse(66, s.mapPath + " exists and is not a mapfile (" + error + "); it is left alone");
            const std::string again = "; give --restart to start over and rewrite it";
            if (Stream() && !s.restart)
                return Refuse(64, s.mapPath + " exists, but an export to standard output cannot continue from a "
                                  "map (what was streamed before is gone)" + again + ", or name another map");
            if (s.restart) {
                m_result.notes.push_back("--restart: " + s.mapPath + " is rewritten, the export starts at stripe 0");
            } else {
                if (old.Size() != domain)
                    return Refuse(64, s.mapPath + " belongs to another export: its domain is " +
                                          std::to_string(old.Size()) + " bytes, LUN " + std::to_string(m_lun.group) +
                                          ":" + std::to_string(m_lun.id) + " has " + std::to_string(domain) + again);
                const std::string* note = IdentityNote(old);
                const NotedTarget noted = note ? ParseIdentity(*note) : NotedTarget{};
                const std::string head = Head(m_lun, s.startOffset);
                if (note && (!noted.found || noted.head != head))
                    return Refuse(64, s.mapPath + " belongs to another export (" + *note + "); this one is " + head +
                                          again);
                // Bytes the map calls done lie on the target up to here.
                uint64_t doneEnd = 0;
                for (const MapSpan& sp : old.Spans())
                    if ((sp.status == '+' || sp.status == '-') && sp.pos < covered)
                        doneEnd = std::min(sp.pos + sp.size, covered);
                if (doneEnd > 0) {
                    if (!targetExists)
                        return Refuse(64, "the target " + s.target + " does not exist, but " + s.mapPath +
                                              " marks " + std::to_string(doneEnd) +
                                              " bytes of it done; restore it" + again);
                    if (noted.found && (noted.dev != static_cast<unsigned long long>(tst.st_dev) ||
                                        noted.ino != static_cast<unsigned long long>(tst.st_ino)))
                        return Refuse(64, s.target + " is not the target " + s.mapPath + " was written for (" +
                                              noted.path + ", device " + std::to_string(noted.dev) + " inode " +
                                              std::to_string(noted.ino) + "): it was replaced or is another file" +
                                              again);
                    if (S_ISREG(tst.st_mode) && static_cast<uint64_t>(tst.st_size) < s.startOffset + doneEnd)
                        return Refuse(64, "the target " + s.target + " holds " + std::to_string(tst.st_size) +
                                              " bytes, but " + s.mapPath + " marks it done up to byte " +
                                              std::to_string(s.startOffset + doneEnd) + " (truncated?)" + again);
                }
                if (!note)
                    m_result.notes.push_back(s.mapPath +
                                             " carries no note of this program (rewritten by ddrescuelog?); taken "
                                             "as this export's map since its domain is the LUN's");
                m_map = old;
                const uint64_t next = std::min(m_map.FirstNotDone(), covered);
                m_firstStripe = static_cast<uint32_t>(next / kRunSize);
                // Everything from the resume point on is done again.
                m_map.Mark(static_cast<uint64_t>(m_firstStripe) * kRunSize,
                           covered - static_cast<uint64_t>(m_firstStripe) * kRunSize, '?');
                m_result.resumed = m_firstStripe > 0;
                if (m_firstStripe == count)
                    m_result.notes.push_back(s.mapPath + " marks every stripe done" +
                                             (s.retryBad ? std::string() : "; nothing is exported"));
                else if (m_firstStripe > 0)
                    m_result.notes.push_back("continuing from " + s.mapPath + " at stripe " +
                                             std::to_string(m_firstStripe) + " of " + std::to_string(count));
                if (s.retryBad) {
                    const uint64_t limit = static_cast<uint64_t>(m_firstStripe) * kRunSize;
                    for (const MapSpan& sp : m_map.Spans()) {
                        if (sp.status != '-' || sp.pos >= limit)
                            continue;
                        const uint32_t a = static_cast<uint32_t>(sp.pos / kRunSize);
                        const uint32_t b =
                            static_cast<uint32_t>((std::min(sp.pos + sp.size, limit) + kRunSize - 1) / kRunSize);
                        if (!m_retry.empty() && m_retry.back().second >= a)
                            m_retry.back().second = std::max(m_retry.back().second, b);
                        else
                            m_retry.emplace_back(a, b);
                    }
                    uint32_t n = 0;
                    for (const auto& [a, b] : m_retry)
                        n += b - a;
                    m_result.retriedStripes = n;
                    m_result.notes.push_back("--retry-bad: " + Plural(n, "stripe") + " with lost bytes read again");
                }
            }
        } else if (s.resume) {
            m_result.notes.push_back("no mapfile " + s.mapPath + " yet: starting at the first stripe");
        }
    }
    try {
        if (Stream())
            OpenExportStream(m_ctx, STDOUT_FILENO, "standard output");
        else
            OpenExportTarget(m_ctx, s.target, s.startOffset, covered);
    } catch (const EvaError& e) {
        Fail(e);
        return false;
    }
    ExportState& st = AttachExportState(m_ctx);
    struct stat opened {};
    if (st.target.io && st.target.io->Handle() >= 0 && ::fstat(st.target.io->Handle(), &opened) == 0) {
        if (s.sparse && S_ISBLK(opened.st_mode)) {
            st.target.io.reset();
            return Refuse(64, "--sparse is for image files; " + s.target + " is a block device");
        }
    }
    st.target.sparse = s.sparse;
    if (!s.mapPath.empty()) {
        m_map.notes = {ExportIdentity(m_lun, s.startOffset, opened, Stream() ? s.target : std::filesystem::absolute(s.target).string())};
        for (const std::string& x : m_result.excluded)
            m_map.notes.push_back("corvane excluded " + x + " (treated as missing: rebuilt from parity)");
    }
    if (s.verifyParity) {
        // A continued run keeps what the earlier runs found.
        m_inconsistent = RescueMap(m_lun.CoveredBytes());
        RescueMap old;
        std::string text, error;
        if (m_firstStripe > 0 && !s.mapPath.empty() && LoadFile(s.mapPath + ".inconsistent", text, error) &&
            RescueMap::Parse(text, old, error) && old.Size() == m_lun.CoveredBytes())
            m_inconsistent = old;
    }
    uint64_t toWrite = static_cast<uint64_t>(count - m_firstStripe) * kRunSize;
    for (const auto& [a, b] : m_retry)
        toWrite += static_cast<uint64_t>(b - a) * kRunSize;
    m_toWrite = toWrite;
    m_writtenBytes.store(0);
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

void ExportJob::SaveInconsistent()
{
    if (!m_settings.verifyParity || m_settings.mapPath.empty())
        return;
    const std::string path = m_settings.mapPath + ".inconsistent";
    std::string error;
    if (SaveFileAtomically(path, m_inconsistent.Render(m_settings.commandLine, m_settings.program), error))
        m_result.inconsistentMap = path;
    else
        m_result.warnings.push_back(error);
}

namespace {

void AddUp(ExportReport& sum, const ExportReport& r)
{
    sum.complete += r.complete;
    sum.rebuilt += r.rebuilt;
    sum.damaged += r.damaged;
    sum.zeroFilledSegments += r.zeroFilledSegments;
    sum.bytesRead += r.bytesRead;
    sum.bytesRebuilt += r.bytesRebuilt;
    sum.bytesLost += r.bytesLost;
    MergeRanges(sum.zeroRanges, r.zeroRanges);
    sum.cancelled = sum.cancelled || r.cancelled;
    AddParity(sum.parity, r.parity);
}

} // namespace

const ExportJobResult& ExportJob::Run()
{
    const ExportJobSettings& s = m_settings;
    const auto began = std::chrono::steady_clock::now();
    const uint32_t count = static_cast<uint32_t>(m_lun.stripeRecords.size());
    {
        // Written before the first stripe, so an interrupted run always has a map.
        ExportReport none;
        none.stripes = count;
        none.firstStripe = m_firstStripe;
        SaveMap(none);
    }
    // The stripes to retry first, then the rest of the LUN.
    std::vector<std::pair<uint32_t, uint32_t>> passes = m_retry;
    passes.emplace_back(m_firstStripe, count);

    std::unique_ptr<StripeHasher> hasher;
    std::string digest, hashError;

    m_result.started = true;
    m_result.total.stripes = count;
    uint64_t before = 0; // stripes written by earlier passes
    for (size_t i = 0; i < passes.size(); ++i) {
        // Plain copies, not a structured binding (clang 14 cannot capture one).
        const uint32_t first = passes[i].first, end = passes[i].second;
        const bool last = i + 1 == passes.size();
        std::vector<LayoutRecord> prefix;
        if (!last)
            prefix.assign(m_lun.stripeRecords.begin(), m_lun.stripeRecords.begin() + end);
        const std::vector<LayoutRecord>& records = last ? m_lun.stripeRecords : prefix;
        if (last && !s.hash.empty()) {
            // Every byte before this pass is final now: those are read back
            // from the target, the rest is hashed as it is written.
            const ExportTarget& target = AttachExportState(m_ctx).target;
            const int fd = target.stream || !target.io ? -1 : target.io->Handle();
            hasher = std::make_unique<StripeHasher>(s.hash, fd, s.startOffset, m_lun.CoveredBytes(),
                                                    static_cast<uint64_t>(first) * kRunSize);
            if (!hasher->Start(hashError))
                hasher.reset();
        }
        ExportControl control;
        control.stop = s.stop;
        control.firstStripe = first;
        control.console = s.console;
        // A checkpoint syncs the target so the map never claims more than
        // is on it; with no map there is nothing to keep in step, and the
        // one sync at the end is enough.
        if (!s.mapPath.empty())
            control.checkpoint = [this](const ExportReport& r) { SaveMap(r); };
        control.checkpointInterval = s.checkpointInterval;
        control.hasher = last ? hasher.get() : nullptr;
        control.onWritten = [this, before, &s](uint32_t written) {
            m_writtenBytes.store((before + written) * kRunSize, std::memory_order_relaxed);
            if (s.onWritten)
                s.onWritten(written);
        };
        control.report = &m_result.report;
        control.verifyParity = s.verifyParity;
        try {
            m_result.report = ExportLun(m_ctx, records, s.startOffset, s.progress, s.user, control);
        } catch (const EvaError& e) {
            Fail(e);
        }
        AddUp(m_result.total, m_result.report);
        if (s.verifyParity) {
            // The pass's checked stripes: '+', and '-' where parity disagrees.
            ExportReport checked = m_result.report;
            checked.zeroRanges = checked.parity.inconsistentRanges;
            ApplyReport(m_inconsistent, checked);
        }
        before += m_result.report.written;
        if (m_result.status != 0 || m_result.report.cancelled)
            break;
    }
    m_result.total.firstStripe = m_result.report.firstStripe;
    m_result.total.written = m_result.report.written;
    m_result.total.stripes = count;
    const bool finished = m_result.status == 0 && !m_result.report.cancelled && m_result.report.Finished() &&
                          m_result.report.stripes == count;
    if (hasher)
        digest = hasher->Finish(hashError);

    if (finished) {
        ExportState& st = AttachExportState(m_ctx);
        struct stat info {};
        const int fd = st.target.io ? st.target.io->Handle() : -1;
        const uint64_t end = s.startOffset + m_lun.CoveredBytes();
        if (!st.target.stream && fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            // Only a regular file, and only a tail beyond the LUN.
            if (s.truncateWhenFinished && static_cast<uint64_t>(info.st_size) > end &&
                ::ftruncate(fd, static_cast<off_t>(end)) != 0)
                Fail(EvaError(kWriteFailed, s.target + ": cannot cut it to the LUN's length: " + std::strerror(errno)));
            // Zero blocks left as holes at the end still belong to the image.
            if (s.sparse && static_cast<uint64_t>(info.st_size) < end && ::ftruncate(fd, static_cast<off_t>(end)) != 0)
                m_result.warnings.push_back("cannot extend " + s.target + " to the LUN's length: " +
                                            std::strerror(errno));
        }
        if (!s.hash.empty()) {
            m_result.hash = digest;
            if (digest.empty())
                m_result.warnings.push_back("the " + s.hash + " of " + s.target + " could not be computed: " +
                                            hashError);
            else if (!s.mapPath.empty()) {
                std::erase_if(m_map.notes, [&](const std::string& n) { return n.rfind("corvane " + s.hash + " ", 0) == 0; });
                m_map.notes.push_back("corvane " + s.hash + " " + digest + " of the LUN's " +
                                      std::to_string(m_lun.CoveredBytes()) + " bytes on the target");
                SaveMap(m_result.report);
            }
        }
    }
    SaveInconsistent();
    m_result.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    m_result.mapRescued = m_map.Total('+');
    m_result.mapLost = m_map.Total('-');
    m_result.mapPending = m_map.Total('?');
    return m_result;
}

} // namespace corvane
