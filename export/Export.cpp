#include "export/Export.h"

#include "engine/Address.h"
#include "engine/Errors.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <ctime>
#include <exception>
#include <sstream>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

std::vector<ByteRange> ZeroRangesOfStripe(uint64_t k, uint8_t missingMask)
{
    std::vector<ByteRange> out;
    if (std::popcount(static_cast<unsigned>(missingMask & 0x1F)) < 2)
        return out;
    const uint64_t base = k * kRunSize;
    for (uint64_t c = 0; c < kRunSize / kChunkSize; ++c) {
        if (!(missingMask & (1u << (c % 4))))
            continue;
        const uint64_t at = base + c * kChunkSize;
        if (!out.empty() && out.back().offset + out.back().length == at)
            out.back().length += kChunkSize;
        else
            out.push_back({at, kChunkSize});
    }
    return out;
}

namespace {

std::string Hex(uint64_t v)
{
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

bool PlainHandle(const JIO& io)
{
    return typeid(io) == typeid(JFileHandle::JFile) || typeid(io) == typeid(JFileHandle::JDisk);
}

// The descriptor of a plain handle on a regular file; -1 otherwise.
int RegularFileDescriptor(const JIO* io)
{
    struct stat st {};
    if (!io || !PlainHandle(*io) || io->Handle() < 0 || ::fstat(io->Handle(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return io->Handle();
}

int32_t Clamp32(uint64_t v)
{
    return v > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(v);
}

// Clears the running mark however ExportLun leaves.
struct RunningMark {
    std::atomic<bool>& flag;
    ~RunningMark() { flag.store(false); }
};

class Pipeline {
public:
    Pipeline(ExportState& st, const std::vector<LayoutRecord>& records, uint32_t first, const ExportControl& control)
        : m_st(st), m_records(records), m_first(first), m_control(control)
    {
    }

    void Prepare(EvaContext& ctx);
    void Start();
    void Run(ExportProgressFn progress, void* user);
    void Shutdown() noexcept;
    ExportReport Report(bool cancelled) const;

    time_t startTime = 0;

private:
    MemberReader* ReaderAt(const LayoutRecord& r, unsigned p) const
    {
        const unsigned row = r.row();
        const unsigned column = PositionColumn(r, p);
        if (!InMatrix(row, column))
            return nullptr;
        return m_st.readers[row][column].get();
    }

    ExportState& m_st;
    const std::vector<LayoutRecord>& m_records;
    const uint32_t m_first;
    const ExportControl& m_control;
    std::vector<MemberReader*> m_readers; // matrix order
    std::vector<std::thread> m_readerThreads;
    std::thread m_writerThread;
    std::vector<uint8_t> m_masks; // missing positions of each assembled stripe, from m_first
    // /dev/null, where readers drop the segments they only check.
    struct NullDevice {
        int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ~NullDevice()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } m_null;
    const int m_nullFd = m_null.fd;
};

void Pipeline::Prepare(EvaContext& ctx)
{
    StripeWriter& w = m_st.writer;
    w.target = &m_st.target;
    w.stopRequested.store(0);
    w.exited.store(0);
    w.filled = 0;
    w.retired.store(0);
    w.written.store(0);
    w.failure = &m_st.failure;
    w.console = m_control.console;
    for (StripeSlot& s : w.slots) {
        s.free.store(1);
        s.sources.fill(nullptr);
    }

    for (unsigned row = 0; row < static_cast<unsigned>(kRows); ++row) {
        for (unsigned column = 0; column < static_cast<unsigned>(kColumns); ++column) {
            auto& cell = m_st.readers[row][column];
            cell.reset();
            if (MemberDisk* m = ctx.memberMap[row][column]) {
                cell = std::make_unique<MemberReader>();
                BindMember(*cell, m);
                cell->failure = &m_st.failure;
                cell->console = m_control.console;
                cell->copyFd = m_st.target.copyOffload ? RegularFileDescriptor(m->io.get()) : -1;
                cell->nullFd = m_nullFd;
                // Within one file system the in-kernel copy always works;
                // across file systems the writer's first copy tells.
                struct stat ms {}, ts {};
                if (cell->copyFd >= 0 && ::fstat(cell->copyFd, &ms) == 0 &&
                    ::fstat(m_st.target.io->Handle(), &ts) == 0 && ms.st_dev == ts.st_dev)
                    cell->copyState.store(kCopyWorks);
                m_readers.push_back(cell.get());
            }
        }
    }
    // Every request is queued before any thread starts, in the order the
    // export thread will take the segments.
    for (size_t k = m_first; k < m_records.size(); ++k) {
        // A stripe with a data position without member is sure to need its
        // parity and its other data in the buffers: all of it is read ahead.
        // Elsewhere the parity waits until a read fails, and the data is
        // only checked where the writer can copy it inside the kernel.
        bool dataWithoutReader = false;
        for (unsigned p = 0; p < 4; ++p)
            dataWithoutReader = dataWithoutReader || !ReaderAt(m_records[k], p);
        const uint32_t flags = dataWithoutReader ? 0 : kCheckOnly;
        for (unsigned p = 0; p < kStripePositions; ++p)
            if (MemberReader* r = ReaderAt(m_records[k], p))
                r->requests.push_back(PositionSegment(m_records[k], p) |
                                      (dataWithoutReader ? 0 : p == 4 ? kReadWhenNeeded : flags));
    }
    m_masks.reserve(m_records.size() - m_first);
    // The slots a reader will fill are faulted in here in one go: page by
    // page on first touch costs a trap per 4 KiB, on the reader's time.
    for (MemberReader* r : m_readers) {
        const size_t reads = static_cast<size_t>(std::count_if(
            r->requests.begin(), r->requests.end(), [](uint32_t q) { return (q & kRequestFlags) == 0; }));
        const size_t used = std::min<size_t>(kRingSlots, reads);
        for (size_t i = 0; i < used; ++i)
            ::madvise(r->slots[i].data.data(), kSegmentSize, MADV_POPULATE_WRITE);
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
                m_control.checkpoint(Report(false));
                lastCheckpoint = now;
            }
        }

        const LayoutRecord& rec = m_records[n];
        MemberReader* rs[kStripePositions];
        for (unsigned p = 0; p < kStripePositions; ++p)
            rs[p] = ReaderAt(rec, p);

        // Wait for every segment of the stripe. Two positions naming one cell
        // take two consecutive slots of its ring: both are waited for. A slot
        // still held by an earlier stripe that is not yet written is not the
        // one wanted: wait for the writer to retire that stripe first.
        for (unsigned p = 0; p < kStripePositions; ++p) {
            if (!rs[p])
                continue;
            uint64_t ahead = 0;
            for (unsigned q = 0; q < p; ++q)
                if (rs[q] == rs[p])
                    ++ahead;
            const size_t s = (rs[p]->consumed + ahead) % kRingSlots;
            if (rs[p]->takenBy[s] != 0)
                AwaitCount(w.retired, rs[p]->takenBy[s]);
            AwaitFlag(rs[p]->slots[s].state, 0);
        }

        const uint32_t handOver = w.filled;
        StripeSlot& slot = NextStripeSlot(w);
        AwaitFlag(slot.free, 1);

        for (unsigned p = 0; p < kStripePositions; ++p) {
            if (!rs[p]) {
                slot.sources[p] = nullptr;
                continue;
            }
            slot.sources[p] = &CurrentSegmentSlot(*rs[p]);
            rs[p]->takenBy[rs[p]->consumed % kRingSlots] = handOver + 1;
            AdvanceConsumed(*rs[p]);
        }
        // A stripe that lost a data segment needs the others and the parity
        // in their buffers, to rebuild it: read what was left for later.
        bool dataMissing = false;
        for (unsigned p = 0; p < 4; ++p)
            dataMissing = dataMissing || !slot.sources[p] || slot.sources[p]->readOk == 0;
        if (dataMissing)
            for (SegmentSlot* s : slot.sources)
                if (s)
                    LoadSegmentNow(*s, &m_st.failure);
        AssembleStripe(slot, !m_st.target.gather);
        m_masks.push_back(slot.missingMask);
        // From here the slot and the reader slots it names belong to the writer.
        Publish(slot.free, 0);
    }
}

void Pipeline::Shutdown() noexcept
{
    StripeWriter& w = m_st.writer;
    if (m_writerThread.joinable()) {
        // The writer first writes every slot handed to it.
        for (StripeSlot& s : w.slots)
            AwaitFlag(s.free, 1);
        Publish(w.stopRequested, 1, std::memory_order_seq_cst);
        // It may sleep on the slot it would take next: hand that one over
        // empty, so it wakes, sees the stop and leaves without writing.
        StripeSlot& next = w.slots[w.filled % kRingSlots];
        next.sources.fill(nullptr);
        Publish(next.free, 0);
        AwaitFlag(w.exited, 1);
        m_writerThread.join();
        next.free.store(1);
    }
    // Then the readers, one after the other. A reader may sleep on a slot it
    // needs back; with the writer gone every filled slot is given back.
    for (size_t i = 0; i < m_readerThreads.size(); ++i) {
        MemberReader& r = *m_readers[i];
        Publish(r.stopRequested, 1, std::memory_order_seq_cst);
        for (SegmentSlot& s : r.slots)
            if (s.state.load(std::memory_order_seq_cst) == 0)
                Publish(s.state, 1, std::memory_order_seq_cst);
        AwaitFlag(r.exited, 1);
        if (m_readerThreads[i].joinable())
            m_readerThreads[i].join();
    }
}

ExportReport Pipeline::Report(bool cancelled) const
{
    ExportReport rep;
    rep.stripes = static_cast<uint32_t>(m_records.size());
    rep.firstStripe = m_first;
    rep.written = std::min<uint32_t>(m_st.writer.written.load(std::memory_order_acquire),
                                     static_cast<uint32_t>(m_masks.size()));
    rep.cancelled = cancelled;
    for (uint32_t i = 0; i < rep.written; ++i) {
        const uint8_t mask = m_masks[i];
        const int missing = std::popcount(static_cast<unsigned>(mask));
        if (missing == 0) {
            ++rep.complete;
        } else if (missing == 1) {
            ++rep.rebuilt;
        } else {
            ++rep.damaged;
            rep.zeroFilledSegments += static_cast<uint64_t>(std::popcount(static_cast<unsigned>(mask & 0x0F)));
            for (const ByteRange& r : ZeroRangesOfStripe(static_cast<uint64_t>(m_first) + i, mask)) {
                if (!rep.zeroRanges.empty() &&
                    rep.zeroRanges.back().offset + rep.zeroRanges.back().length == r.offset)
                    rep.zeroRanges.back().length += r.length;
                else
                    rep.zeroRanges.push_back(r);
            }
        }
    }
    return rep;
}

} // namespace

ExportReport ExportLun(EvaContext& ctx, const std::vector<LayoutRecord>& records, uint64_t startOffset,
                       ExportProgressFn progress, void* user, const ExportControl& control)
{
    ExportState& st = AttachExportState(ctx);
    bool idle = false;
    if (!st.running.compare_exchange_strong(idle, true))
        Raise(kOpenDeviceFailed, "an export is already running in this context");
    RunningMark mark{st.running};

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
    if (!target.io)
        fail(kOpenDeviceFailed, "no export target is open" + (target.path.empty() ? "" : ": " + target.path));
    // The last byte written must be addressable: start + count x 8 MiB.
    if (startOffset > static_cast<uint64_t>(INT64_MAX) ||
        static_cast<uint64_t>(count) * kRunSize > static_cast<uint64_t>(INT64_MAX) - startOffset)
        fail(kSeekFailed, "seek failed: " + target.path + ": offset " + std::to_string(startOffset) +
                              " + LUN size is beyond what a target can address");
    const uint64_t firstAt = startOffset + static_cast<uint64_t>(first) * kRunSize;
    if (!target.io->Seek(firstAt))
        fail(kSeekFailed, "seek failed: " + target.path + " to offset " + Hex(firstAt));
    target.position = firstAt;
    target.gather = PlainHandle(*target.io);
    target.copyOffload = target.gather && RegularFileDescriptor(target.io.get()) >= 0;
    st.failure.Reset();

    Pipeline pipe(st, records, first, control);
    std::exception_ptr thrown;
    try {
        pipe.Prepare(ctx);
    } catch (...) {
        fail(kCreateThreadFailed, "cannot prepare the export's readers (out of memory?)");
    }
    time_t startTime = std::time(nullptr);
    try {
        pipe.Start();
        if (!st.failure.Failed()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

    std::string flushError;
    if (!target.Flush(flushError))
        st.failure.Record(kWriteFailed, flushError);

    const bool cancelled = !st.failure.Failed() && !thrown && control.stop && control.stop->load() &&
                           first + st.writer.written.load() < count;
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
