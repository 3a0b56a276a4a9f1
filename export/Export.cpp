#include "export/Export.h"

#include "engine/Address.h"
#include "engine/Errors.h"

#include <algorithm>
#include <climits>
#include <map>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include <unistd.h>

namespace corvane {

namespace {

int32_t Clamp32(uint64_t v)
{
    return v > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(v);
}

// What the written stripes gave, added up as the writer goes.
class Tally {
public:
    void Add(const StripeOutcome& o, const std::array<SegmentState*, kStripePositions>& seg, bool parity)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (parity)
            AddParityOf(o.parity, seg);
        if (o.lost > 0)
            ++m_sum.damaged;
        else if (o.rebuilt > 0)
            ++m_sum.rebuilt;
        else
            ++m_sum.complete;
        m_sum.zeroFilledSegments += o.segmentsWithLoss;
        m_sum.bytesRead += o.read;
        m_sum.bytesRebuilt += o.rebuilt;
        m_sum.bytesLost += o.lost;
        m_lost.Add(o.lostRanges);
    }
    // Sources in the context's member order.
    ExportReport Snapshot(const EvaContext& ctx) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ExportReport r = m_sum;
        for (const JFileHandle::Extent& e : m_lost)
            r.zeroRanges.push_back({e.offset, e.length});
        for (const JFileHandle::Extent& e : m_inconsistent)
            r.parity.inconsistentRanges.push_back({e.offset, e.length});
        for (const auto& m : ctx.members) {
            const auto it = m_sources.find(m.get());
            if (it != m_sources.end())
                r.parity.sources.push_back({m->source, it->second.first, it->second.second});
            if (std::find(m_shared.begin(), m_shared.end(), m.get()) != m_shared.end())
                r.parity.shared.push_back(m->source);
        }
        return r;
    }

private:
    void AddParityOf(const ParityOutcome& o, const std::array<SegmentState*, kStripePositions>& seg)
    {
        ParityReport& p = m_sum.parity;
        p.consistentBlocks += o.consistent;
        p.inconsistentBlocks += o.inconsistent;
        p.unverifiableBlocks += o.unverifiable;
        const bool bad = o.inconsistent > 0;
        ++(bad ? p.inconsistent : o.unverifiable > 0 ? p.unverifiable : p.consistent);
        m_inconsistent.Add(o.inconsistentRanges);
        std::vector<const MemberDisk*> in;
        for (const SegmentState* s : seg)
            if (s->source != SegmentSource::Absent && s->member &&
                std::find(in.begin(), in.end(), s->member) == in.end())
                in.push_back(s->member);
        for (const MemberDisk* m : in) {
            auto& c = m_sources[m];
            ++c.first;
            c.second += bad ? 1 : 0;
        }
        if (!bad)
            return;
        if (p.inconsistent == 1)
            m_shared = in;
        else
            std::erase_if(m_shared, [&](const MemberDisk* m) { return std::find(in.begin(), in.end(), m) == in.end(); });
    }

    mutable std::mutex m_mutex;
    ExportReport m_sum;
    ExtentSet m_lost;
    ExtentSet m_inconsistent;
    std::map<const MemberDisk*, std::pair<uint32_t, uint32_t>> m_sources;
    std::vector<const MemberDisk*> m_shared;
};

class Pipeline {
public:
    Pipeline(EvaContext& ctx, ExportState& st, const std::vector<LayoutRecord>& records, uint32_t first,
             const ExportControl& control)
        : m_ctx(ctx), m_st(st), m_records(records), m_first(first), m_control(control)
    {
    }

    void Prepare();
    void Start();
    void Run(ExportProgressFn progress, void* user);
    void Shutdown() noexcept;
    // Stripes written so far, and what they gave.
    ExportReport Report(bool cancelled) const;
    // Makes what the report calls written durable, then hands it on.
    void Checkpoint();

private:
    MemberReader* ReaderAt(const LayoutRecord& r, unsigned p) const
    {
        const unsigned row = r.row();
        const unsigned column = PositionColumn(r, p);
        if (!InMatrix(row, column))
            return nullptr;
        return m_st.readers[row][column].get();
    }
    // How a position's segment is served: the one place that decides.
    SegmentSource Plan(const MemberReader& r, unsigned p, bool degraded) const;

    EvaContext& m_ctx;
    ExportState& m_st;
    const std::vector<LayoutRecord>& m_records;
    const uint32_t m_first;
    const ExportControl& m_control;
    std::vector<MemberReader*> m_readers; // matrix order
    std::vector<std::thread> m_readerThreads;
    std::thread m_writerThread;
    uint64_t m_handed = 0;
    Tally m_tally;
};

SegmentSource Pipeline::Plan(const MemberReader& r, unsigned p, bool degraded) const
{
    // A stripe that has lost a data position for sure needs everything else
    // in the buffers for its rebuild, and a parity check needs all five:
    // read it all ahead, in parallel.
    if (degraded || m_control.verifyParity)
        return SegmentSource::Buffer;
    // Otherwise the parity waits until a data byte turns out unreadable.
    if (p == 4)
        return SegmentSource::OnDemand;
    return r.kernelCopy ? SegmentSource::Kernel : SegmentSource::Buffer;
}

void Pipeline::Prepare()
{
    StripeWriter& w = m_st.writer;
    ResetWriter(w, m_first);
    w.target = m_control.writeTarget ? &m_st.target : nullptr;
    w.discard = !m_control.writeTarget;
    w.policy = m_ctx.readPolicy;
    w.dropWhen = m_control.stop;
    w.failure = &m_st.failure;
    w.console = m_control.console;
    w.hasher = m_control.hasher;
    w.onWritten = [this](const StripeSlot& slot) {
        m_tally.Add(slot.outcome, slot.segments, m_control.verifyParity);
        if (m_control.onWritten)
            m_control.onWritten(m_st.writer.tally.written.load(std::memory_order_acquire));
    };

    for (unsigned row = 0; row < static_cast<unsigned>(kRows); ++row) {
        for (unsigned column = 0; column < static_cast<unsigned>(kColumns); ++column) {
            auto& cell = m_st.readers[row][column];
            cell.reset();
            if (MemberDisk* m = m_ctx.memberMap[row][column]) {
                cell = std::make_unique<MemberReader>();
                BindMember(*cell, m);
                cell->failure = &m_st.failure;
                cell->console = m_control.console;
                cell->policy = m_ctx.readPolicy;
                // A check alone retires a stripe as soon as it is checked:
                // readers that stay a few segments ahead leave the bytes in
                // the cache for the check (measured: 20 % less time).
                if (m_control.verifyParity && !m_control.writeTarget)
                    cell->lead = 4;
                cell->kernelCopy = m_st.target.kernelCopy.load() && m->io && m_st.target.io &&
                                   JFileHandle::CanCopyInKernel(*m->io, *m_st.target.io);
                m_readers.push_back(cell.get());
            }
        }
    }
    // Every request is queued before any thread starts, in the order the
    // export thread will take the segments.
    for (size_t k = m_first; k < m_records.size(); ++k) {
        bool degraded = false;
        for (unsigned p = 0; p < 4; ++p)
            degraded = degraded || !ReaderAt(m_records[k], p);
        for (unsigned p = 0; p < kStripePositions; ++p)
            if (MemberReader* r = ReaderAt(m_records[k], p))
                r->requests.push_back({PositionSegment(m_records[k], p), Plan(*r, p, degraded)});
    }
}

void Pipeline::Start()
{
    unsigned index = 0;
    try {
        for (MemberReader* r : m_readers) {
            if (m_control.beforeThreadStart)
                m_control.beforeThreadStart(index);
            m_readerThreads.emplace_back(RunMemberReader, std::ref(*r));
            ++index;
        }
        if (m_control.beforeThreadStart)
            m_control.beforeThreadStart(index);
        m_writerThread = std::thread(RunStripeWriter, std::ref(m_st.writer));
    } catch (const std::system_error& e) {
        m_st.failure.Record(kCreateThreadFailed, std::string("cannot start export thread ") + std::to_string(index) +
                                                     ": " + e.what());
    }
}

void Pipeline::Run(ExportProgressFn progress, void* user)
{
    StripeWriter& w = m_st.writer;
    const uint32_t count = static_cast<uint32_t>(m_records.size());
    FILE* const console = m_control.console;
    const bool flushConsole = console && ::isatty(fileno(console));
    auto lastCheckpoint = std::chrono::steady_clock::now();

    for (uint32_t n = m_first; n < count; ++n) {
        if (m_control.stop && m_control.stop->load())
            return;
        if (m_st.failure.Failed())
            return;
        if (progress)
            progress(Clamp32(count), Clamp32(n), user);
        if (console) {
            std::fprintf(console, "%d-%d\r", Clamp32(n), Clamp32(count));
            if (flushConsole)
                std::fflush(console);
        }
        if (m_control.checkpoint) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastCheckpoint >= m_control.checkpointInterval) {
                Checkpoint();
                lastCheckpoint = now;
            }
        }

        StripeSlot& slot = w.slots[m_handed % kRingSlots];
        if (!AwaitTurn(slot.turn, FreeTurn(m_handed)))
            return;
        slot.stripe = n;
        const LayoutRecord& rec = m_records[n];
        for (unsigned p = 0; p < kStripePositions; ++p) {
            MemberReader* r = ReaderAt(rec, p);
            if (!r) {
                slot.absent[p].Reset(SegmentSource::Absent, nullptr, 0, slot.scratch.data() + p * kSegmentSize);
                slot.segments[p] = &slot.absent[p];
                slot.held[p] = nullptr;
                continue;
            }
            // Two positions naming one cell take consecutive requests.
            const uint64_t i = r->consumed++;
            RingSlot& ring = SlotOf(*r, i);
            if (!AwaitTurn(ring.turn, FilledTurn(i)))
                return;
            slot.segments[p] = &ring.segment;
            slot.held[p] = &ring;
            slot.heldRequest[p] = i;
        }
        std::string error;
        if (!ResolveStripe(n, slot.segments, m_st.target.kernelCopy.load(std::memory_order_relaxed), m_ctx.readPolicy,
                           slot.outcome, error)) {
            m_st.failure.Record(kSeekFailed, error);
            ReleaseHeld(slot);
            return;
        }
        if (m_control.verifyParity)
            CheckParity(n, slot.segments, slot.outcome.parity);
        // From here the slot and the reader slots it holds are the writer's.
        PassTurn(slot.turn, FreeTurn(m_handed), FilledTurn(m_handed));
        ++m_handed;
    }
}

void Pipeline::Shutdown() noexcept
{
    StripeWriter& w = m_st.writer;
    if (m_writerThread.joinable()) {
        // The writer first deals with every stripe handed to it (written,
        // or dropped on a stop or after a failed write).
        AwaitCount(w.tally.retired, m_handed);
        for (StripeSlot& s : w.slots)
            StopTurn(s.turn);
        m_writerThread.join();
    }
    for (size_t i = 0; i < m_readers.size(); ++i) {
        for (RingSlot& s : m_readers[i]->slots)
            StopTurn(s.turn);
        if (i < m_readerThreads.size() && m_readerThreads[i].joinable())
            m_readerThreads[i].join();
    }
}

ExportReport Pipeline::Report(bool cancelled) const
{
    ExportReport rep = m_tally.Snapshot(m_ctx);
    rep.stripes = static_cast<uint32_t>(m_records.size());
    rep.firstStripe = m_first;
    rep.written = m_st.writer.tally.written.load(std::memory_order_acquire);
    rep.cancelled = cancelled;
    rep.parity.checked = m_control.verifyParity;
    return rep;
}

void Pipeline::Checkpoint()
{
    // Taken before the sync, so every stripe it calls written was written
    // before the sync began.
    const ExportReport rep = Report(false);
    std::string error;
    if (!m_st.target.Flush(error)) {
        m_st.failure.Record(kWriteFailed, error);
        return;
    }
    m_control.checkpoint(rep);
}

} // namespace

void MergeRanges(std::vector<ByteRange>& ranges, const std::vector<ByteRange>& more)
{
    ExtentSet merged;
    for (const std::vector<ByteRange>* list : {&std::as_const(ranges), &more})
        for (const ByteRange& r : *list)
            merged.Add(r.offset, r.length);
    ranges.clear();
    for (const JFileHandle::Extent& e : merged)
        ranges.push_back({e.offset, e.length});
}

void AddParity(ParityReport& a, const ParityReport& b)
{
    if (b.inconsistent > 0) {
        if (a.inconsistent == 0)
            a.shared = b.shared;
        else
            std::erase_if(a.shared, [&](const std::string& s) {
                return std::find(b.shared.begin(), b.shared.end(), s) == b.shared.end();
            });
    }
    a.checked = a.checked || b.checked;
    a.consistent += b.consistent;
    a.inconsistent += b.inconsistent;
    a.unverifiable += b.unverifiable;
    a.consistentBlocks += b.consistentBlocks;
    a.inconsistentBlocks += b.inconsistentBlocks;
    a.unverifiableBlocks += b.unverifiableBlocks;
    MergeRanges(a.inconsistentRanges, b.inconsistentRanges);
    for (const ParityReport::Source& s : b.sources) {
        auto it = std::find_if(a.sources.begin(), a.sources.end(),
                               [&](const ParityReport::Source& x) { return x.source == s.source; });
        if (it == a.sources.end()) {
            a.sources.push_back(s);
        } else {
            it->stripes += s.stripes;
            it->inconsistent += s.inconsistent;
        }
    }
}

ExportReport ExportLun(EvaContext& ctx, const std::vector<LayoutRecord>& records, uint64_t startOffset,
                       ExportProgressFn progress, void* user, const ExportControl& control)
{
    ExportState& st = AttachExportState(ctx);
    ScopedJob job(ctx, ContextJob::Export);
    if (!job.Held())
        Raise(kOpenDeviceFailed, ctx.CurrentJob() == ContextJob::Export
                                     ? "an export is already running in this context"
                                     : "an analysis is running on these sources");

    if (records.size() > static_cast<size_t>(INT32_MAX))
        Raise(kBufferOverflow, "the LUN has more stripe records than an export can count");
    const uint32_t count = static_cast<uint32_t>(records.size());
    const uint32_t first = std::min(control.firstStripe, count);
    ExportReport report;
    report.stripes = count;
    report.firstStripe = first;
    auto fail = [&](int code, std::string reason) {
        if (control.report)
            *control.report = report;
        Raise(code, std::move(reason));
    };

    ExportTarget& target = st.target;
    const bool write = control.writeTarget;
    if (!target.io && write)
        fail(kOpenDeviceFailed, "no export target is open" + (target.path.empty() ? "" : ": " + target.path));
    // The last byte written must be addressable: start + count x 8 MiB.
    if (startOffset > static_cast<uint64_t>(INT64_MAX) ||
        static_cast<uint64_t>(count) * kRunSize > static_cast<uint64_t>(INT64_MAX) - startOffset)
        fail(kSeekFailed, "seek failed: " + target.path + ": offset " + std::to_string(startOffset) +
                              " + LUN size is beyond what a target can address");
    const uint64_t firstAt = startOffset + static_cast<uint64_t>(first) * kRunSize;
    if (write && !target.io->Seek(firstAt))
        fail(kSeekFailed, "seek failed: " + target.path + " to offset " + Hex(firstAt));
    target.start = startOffset;
    // A stream is written in order, at its own position: never by offset.
    target.kernelCopy.store(write && target.io->Handle() >= 0 && !target.sparse && !target.stream);
    st.failure.Reset();

    Pipeline pipe(ctx, st, records, first, control);
    std::exception_ptr thrown;
    try {
        pipe.Prepare();
    } catch (...) {
        fail(kCreateThreadFailed, "cannot prepare the export's readers (out of memory?)");
    }
    time_t startTime = std::time(nullptr);
    try {
        pipe.Start();
        if (!st.failure.Failed()) {
            startTime = std::time(nullptr);
            pipe.Run(progress, user);
        }
    } catch (...) {
        thrown = std::current_exception();
    }
    pipe.Shutdown();
    const time_t endTime = std::time(nullptr);
    ConsoleLine(control.console, Texts().finished + std::to_string(static_cast<long long>(endTime)) +
                                     std::to_string(static_cast<long long>(startTime)));

    // Durable before anyone is told it is done.
    std::string flushError;
    if (write && !target.Flush(flushError))
        st.failure.Record(kWriteFailed, flushError);

    const uint32_t written = st.writer.tally.written.load();
    const bool cancelled = !st.failure.Failed() && !thrown && control.stop && control.stop->load() &&
                           first + written < count;
    report = pipe.Report(cancelled);
    if (control.report)
        *control.report = report;
    const bool failed = st.failure.Failed() || thrown;
    if (control.checkpoint) {
        try {
            control.checkpoint(report);
        } catch (...) {
            if (!failed)
                throw;
        }
    }
    if (st.failure.Failed())
        throw EvaError(st.failure.Code(), st.failure.Reason());
    if (thrown)
        std::rethrow_exception(thrown);
    return report;
}

} // namespace corvane
