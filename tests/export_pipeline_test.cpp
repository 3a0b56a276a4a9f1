// ExportLun on hand-made groups: what reaches the target, in which order,
// what the caller is told, and that every thread is gone when it returns.
#include "export_hand_fixture.h"

#include "engine/Errors.h"
#include "export/Segment.h"

#include <filesystem>
#include <sys/syscall.h>
#include <system_error>

namespace corvane::test {
namespace {

using ExportPipeline = HandGroup;

int RecordProgress(int32_t total, int32_t done, void* user)
{
    static_cast<std::vector<std::pair<int, int>>*>(user)->emplace_back(total, done);
    return 0;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(ExportPipeline, ThreeStripesToANewImageFile)
{
    Build(3);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    Capture console;
    ExportControl c = Quiet();
    c.console = console.file();
    std::vector<std::pair<int, int>> calls;
    const ExportReport rep = Export(0, c, RecordProgress, &calls);

    EXPECT_EQ(FileSize(target), 3 * kRun);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 3), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{3, 0}, {3, 1}, {3, 2}}));
    EXPECT_EQ(rep.written, 3u);
    EXPECT_EQ(rep.complete, 3u);
    EXPECT_TRUE(rep.Finished());
    EXPECT_TRUE(rep.zeroRanges.empty());

    const std::string text = console.Text();
    EXPECT_EQ(text.rfind("0-3\r1-3\r2-3\r", 0), 0u) << text;
    EXPECT_EQ(Occurrences(text, Texts().readerExit + "\n"), 5u);
    EXPECT_EQ(Occurrences(text, Texts().writerExit + "\n"), 1u);
    // The writer stops before the readers; the finished line with its two
    // times comes last.
    EXPECT_LT(text.find(Texts().writerExit), text.find(Texts().readerExit));
    const size_t fin = text.find(Texts().finished);
    ASSERT_NE(fin, std::string::npos);
    const std::string times = text.substr(fin + Texts().finished.size());
    EXPECT_GE(times.size(), 20u + 1u);
    EXPECT_EQ(times.find_first_not_of("0123456789"), times.size() - 1) << times;
    EXPECT_EQ(times.back(), '\n');
}

TEST_F(ExportPipeline, AnEmptyStripeListStartsAndStopsTheThreadsAndWritesNothing)
{
    Open(5);
    const std::string target = dir.file("empty.img");
    OpenTarget(target);
    Capture console;
    ExportControl c = Quiet();
    c.console = console.file();
    std::vector<std::pair<int, int>> calls;
    const ExportReport rep = Export(0, c, RecordProgress, &calls);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(FileSize(target), 0u);
    EXPECT_EQ(rep.stripes, 0u);
    EXPECT_TRUE(rep.Finished());
    const std::string text = console.Text();
    EXPECT_EQ(Occurrences(text, Texts().readerExit), 5u);
    EXPECT_NE(text.find(Texts().finished), std::string::npos);
}

TEST_F(ExportPipeline, StartOffsetOnALargerTargetLeavesEverythingElseAlone)
{
    Build(3);
    const std::string target = dir.file("disk.img");
    const uint64_t start = 0x100000;
    const uint64_t size = start + 3 * kRun + 5 * kSeg;
    WriteFile(target, std::vector<uint8_t>(size, 0xAB));
    OpenTarget(target, start);
    Export(start);
    EXPECT_EQ(FileSize(target), size);
    EXPECT_EQ(ReadRange(target, 0, start), std::vector<uint8_t>(start, 0xAB));
    EXPECT_EQ(CountWrongStripes(target, start, 0, 3), 0);
    EXPECT_EQ(ReadRange(target, start + 3 * kRun, 5 * kSeg), std::vector<uint8_t>(5 * kSeg, 0xAB));
}

TEST_F(ExportPipeline, FortyFiveStripesWrapBothRings)
{
    Build(45);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(FileSize(target), 45 * kRun);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 45), 0);
    EXPECT_EQ(rep.complete, 45u);
}

TEST_F(ExportPipeline, ASlowTargetLetsTheReadersRunAheadWithoutMixingUpSegments)
{
    // The readers fill their rings long before the writer gives a slot
    // back; the export thread must not take a slot that still holds the
    // segment of a stripe waiting to be written.
    Build(45);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    WrapTarget()->writeDelay = std::chrono::milliseconds(3);
    Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 45), 0);
}

TEST_F(ExportPipeline, ATargetOnAnotherFileSystemIsWrittenFromTheBuffers)
{
    // The kernel cannot copy between these file systems; every chunk then
    // goes from the reader's buffer, with the same result.
    char tmpl[] = "/dev/shm/corvane-test-XXXXXX";
    if (!std::filesystem::is_directory("/dev/shm") || !::mkdtemp(tmpl))
        GTEST_SKIP() << "no /dev/shm";
    const std::string target = std::string(tmpl) + "/lun.img";
    Build(6);
    ctx.memberMap[kRow][4] = nullptr;
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 6), 0);
    // Column 4 holds the parity of stripes 0 and 5: nothing to rebuild there.
    EXPECT_EQ(rep.rebuilt, 4u);
    EXPECT_EQ(rep.complete, 2u);
    std::filesystem::remove_all(tmpl);
}

TEST_F(ExportPipeline, ASecondExportInTheSameContextBehavesLikeTheFirst)
{
    Build(23); // leaves the writer's ring at slot 3
    const std::string first = dir.file("a.img"), second = dir.file("b.img");
    OpenTarget(first);
    Export();
    OpenTarget(second);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(first, 0, 0, 23), 0);
    EXPECT_EQ(CountWrongStripes(second, 0, 0, 23), 0);
    EXPECT_EQ(rep.written, 23u);
}

TEST_F(ExportPipeline, MembersNoStripeUsesGetIdleReadersThatStop)
{
    Build(3, 7);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    Capture console;
    ExportControl c = Quiet();
    c.console = console.file();
    Export(0, c);
    EXPECT_EQ(Occurrences(console.Text(), Texts().readerExit), 7u);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 3), 0);
}

TEST_F(ExportPipeline, WaitingThreadsSleepInsteadOfSpinning)
{
    // While the writer sits in a slow write of the last stripe, the export
    // thread waits for it and every reader is idle: none of them may hold a
    // processor meanwhile.
    Build(3, 7);
    OpenTarget(dir.file("lun.img"));
    FaultyIO* t = WrapTarget();
    std::map<int, bool> sleptOnce;
    t->onWrite = [&](int n) {
        if (n != 3)
            return;
        const int self = static_cast<int>(::syscall(SYS_gettid));
        for (int round = 0; round < 20; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            for (int tid : TaskIds())
                if (tid != self)
                    sleptOnce[tid] = sleptOnce[tid] || TaskState(tid) != 'R';
        }
    };
    Export();
    ASSERT_GE(sleptOnce.size(), 8u); // the export thread and seven readers at least
    for (const auto& [tid, slept] : sleptOnce)
        EXPECT_TRUE(slept) << "thread " << tid << " never slept while waiting";
}

TEST_F(ExportPipeline, AMissingMemberIsRebuiltFromParity)
{
    Build(6);
    ctx.memberMap[kRow][2] = nullptr; // the member of column 2 was not found
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 6), 0);
    // Column 2 holds stripe 3's parity: its data is all there.
    EXPECT_EQ(rep.rebuilt, 5u);
    EXPECT_EQ(rep.complete, 1u);
    EXPECT_EQ(rep.bytesRebuilt, 5 * kSeg);
    EXPECT_EQ(rep.damaged, 0u);
    EXPECT_TRUE(rep.zeroRanges.empty());
}

TEST_F(ExportPipeline, TwoMissingMembersLeaveZerosExactlyWhereTheGeometrySays)
{
    Build(5);
    ctx.memberMap[kRow][1] = nullptr;
    ctx.memberMap[kRow][3] = nullptr;
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();

    std::vector<ByteRange> expected;
    for (int k = 0; k < 5; ++k) {
        std::set<unsigned> lost;
        for (unsigned p = 0; p < 4; ++p)
            if (ColumnOf(k, p) == 1 || ColumnOf(k, p) == 3)
                lost.insert(p);
        EXPECT_EQ(ReadRange(target, static_cast<uint64_t>(k) * kRun, kRun), ExpectedStripe(k, lost)) << "stripe " << k;
        for (uint64_t c = 0; c < kRun / kChunk; ++c) {
            if (!lost.count(static_cast<unsigned>(c % 4)))
                continue;
            const uint64_t at = static_cast<uint64_t>(k) * kRun + c * kChunk;
            if (!expected.empty() && expected.back().offset + expected.back().length == at)
                expected.back().length += kChunk;
            else
                expected.push_back({at, kChunk});
        }
    }
    EXPECT_EQ(rep.damaged, 5u);
    EXPECT_EQ(rep.rebuilt + rep.complete, 0u);
    EXPECT_EQ(rep.zeroRanges, expected);
    // Every stripe lost two segments: either two data segments or one data
    // segment and the parity.
    EXPECT_GE(rep.zeroFilledSegments, 5u);
    EXPECT_LE(rep.zeroFilledSegments, 10u);
}

TEST_F(ExportPipeline, PositionsOutsideTheMatrixCountAsWithoutAReader)
{
    Plan(3);
    records[0].raw[5 + 2] = static_cast<uint8_t>(records[0].raw[5 + 2] | 0x0F); // column 15
    records[1].raw[1] = 64;                                                      // row 64
    Open(5);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(ReadRange(target, 0, kRun), ExpectedStripe(0));
    EXPECT_EQ(ReadRange(target, kRun, kRun), std::vector<uint8_t>(kRun, 0));
    EXPECT_EQ(ReadRange(target, 2 * kRun, kRun), ExpectedStripe(2));
    EXPECT_EQ(rep.rebuilt, 1u);
    EXPECT_EQ(rep.damaged, 1u);
    EXPECT_EQ(rep.complete, 1u);
    ASSERT_EQ(rep.zeroRanges.size(), 1u);
    EXPECT_EQ(rep.zeroRanges[0], (ByteRange{kRun, kRun}));
}

TEST_F(ExportPipeline, TwoPositionsOfOneRecordInTheSameCellWaitForBothSegments)
{
    Plan(2);
    // Positions 1 and 3 both on column 0, in different segments.
    AddStripe({2, 0, 4, 0, 1}, {40, 41, 40, 42, 40});
    Plan(1);
    AddStripe({0, 0, 0, 0, 0}, {43, 44, 45, 46, 47}); // a whole stripe on one member
    Open(5);
    // The second segment of the shared cell comes late.
    WrapMember(0)->slowReadAt = SegmentOffset(42);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, stripes), 0);
    EXPECT_EQ(rep.complete, static_cast<uint32_t>(stripes));
}

TEST_F(ExportPipeline, OneMemberInTwoCellsIsReadByTwoReadersWithoutInterference)
{
    columnMember[5] = 0; // disk id listed twice: cells (1,0) and (1,5) hold member 0
    Plan(2);
    for (uint32_t k = 0; k < 22; ++k)
        AddStripe({5, 1, 0, 3, 4}, {6 + k, 6 + k, 30 + k, 6 + k, 6 + k});
    Open(5);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, stripes), 0);
    EXPECT_EQ(rep.complete, static_cast<uint32_t>(stripes));
}

// ---------------------------------------------------------------------------
// Damaged members

TEST_F(ExportPipeline, AFailedReadIsRebuilt)
{
    Build(4);
    WrapMember(2)->failReadAt = SegmentOffset(SegmentOf(1));
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 4), 0);
    EXPECT_EQ(rep.rebuilt, 1u);
    EXPECT_EQ(rep.complete, 3u);
}

TEST_F(ExportPipeline, AShortReadCountsAsFailedAndIsRebuilt)
{
    Build(4);
    WrapMember(3)->shortReadAt = SegmentOffset(SegmentOf(2));
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 4), 0);
    EXPECT_EQ(rep.rebuilt, 1u);
}

TEST_F(ExportPipeline, AMemberImageThatEndsInsideASegmentNeverLendsStaleBytes)
{
    // Member 4 ends halfway through stripe 22's segment: with 25 stripes the
    // reader's ring has wrapped, so its slot still holds stripe 2's segment.
    Plan(25);
    truncateAt[4] = SegmentOffset(SegmentOf(22)) + kSeg / 2;
    Open(5);
    ctx.memberMap[kRow][1] = nullptr; // and stripes 22.. lose a second segment
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    // Lost: where both column 1 and column 4 cannot be read, on the data
    // positions there: the second half of stripe 22's segments, all of
    // stripes 23 and 24.
    JFileHandle::ExtentSet want;
    for (int k = 22; k < 25; ++k)
        for (unsigned p = 0; p < 4; ++p)
            if (ColumnOf(k, p) == 1 || ColumnOf(k, p) == 4)
                AddLunRanges(static_cast<uint64_t>(k), p, k == 22 ? kSeg / 2 : 0, k == 22 ? kSeg / 2 : kSeg, want);
    std::vector<ByteRange> lost;
    for (const auto& e : want)
        lost.push_back({e.offset, e.length});
    EXPECT_EQ(rep.zeroRanges, lost);
    for (int k = 0; k < 25; ++k)
        EXPECT_EQ(ReadRange(target, static_cast<uint64_t>(k) * kRun, kRun), ExpectedWithLost(k, lost)) << "stripe " << k;
    EXPECT_EQ(rep.damaged, 3u);
    // Column 1 holds the parity of stripes 2, 7, 12 and 17.
    EXPECT_EQ(rep.rebuilt, 18u);
    EXPECT_EQ(rep.complete, 4u);
}

TEST_F(ExportPipeline, AnIntactStripeNeverReadsItsParity)
{
    Build(5);
    // Column 3 holds the parity of stripe 4 ((4 + 4) % 5); reading it fails.
    FaultyIO* m = WrapMember(3);
    m->failReadAt = SegmentOffset(SegmentOf(4));
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(rep.complete, 5u);
    EXPECT_EQ(m->reads.load(), 4); // its four data segments only
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 5), 0);
}

TEST_F(ExportPipeline, AParityThatIsNeededButUnreadableLeavesOnlyThoseBytesLost)
{
    Build(5);
    ctx.memberMap[kRow][0] = nullptr; // column 0 holds data of stripe 4 (position 1)
    WrapMember(3)->failReadAt = SegmentOffset(SegmentOf(4)); // and the parity's first page fails
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    const ExportReport rep = Export();
    EXPECT_EQ(rep.rebuilt, 3u); // column 0 holds stripe 1's parity
    EXPECT_EQ(rep.damaged, 1u);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 4), 0);
    const std::vector<ByteRange> lost{{4 * kRun + kChunk, 4096}};
    EXPECT_EQ(rep.zeroRanges, lost);
    EXPECT_EQ(rep.bytesLost, 4096u);
    EXPECT_EQ(ReadRange(target, 4 * kRun, kRun), ExpectedWithLost(4, lost));
}

TEST_F(ExportPipeline, AParityReadWhenNeededAtARefusedOffsetIsSeekFailed)
{
    Build(5);
    ctx.memberMap[kRow][0] = nullptr;
    WrapMember(3)->refuseReadAt = SegmentOffset(SegmentOf(4));
    OpenTarget(dir.file("lun.img"));
    std::string reason;
    EXPECT_EQ(ExportCode(0, Quiet(), &reason), kSeekFailed);
    EXPECT_NE(reason.find(memberPaths[3]), std::string::npos) << reason;
}

// ---------------------------------------------------------------------------
// Failures end the export with their code and leave no thread behind

TEST_F(ExportPipeline, AnOffsetAMemberRefusesIsSeekFailed)
{
    Build(30);
    // Stripe 11 has its data position 0 on column 1.
    WrapMember(1)->refuseReadAt = SegmentOffset(SegmentOf(11));
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    ExportReport rep;
    ExportControl c = Quiet();
    c.report = &rep;
    std::string reason;
    EXPECT_EQ(ExportCode(0, c, &reason), kSeekFailed);
    EXPECT_NE(reason.find(memberPaths[1]), std::string::npos) << reason;
    EXPECT_LT(rep.written, 30u);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, static_cast<int>(rep.written)), 0);
}

TEST_F(ExportPipeline, AFailedWriteIsWriteFailedAndNothingAfterItIsWritten)
{
    Build(30);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    WrapTarget()->failWriteNumber = 3;
    ExportReport rep;
    ExportControl c = Quiet();
    c.report = &rep;
    std::string reason;
    EXPECT_EQ(ExportCode(0, c, &reason), kWriteFailed);
    EXPECT_NE(reason.find(target), std::string::npos) << reason;
    EXPECT_EQ(rep.written, 2u);
    EXPECT_FALSE(rep.Finished());
    EXPECT_EQ(FileSize(target), 2 * kRun);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 2), 0);
}

TEST_F(ExportPipeline, ASecondExportOrANewTargetWhileOneRunsIsRefused)
{
    Build(4);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    FaultyIO* t = WrapTarget();
    std::atomic<bool> writing{false}, release{false};
    t->onWrite = [&](int n) {
        if (n != 1)
            return;
        writing = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    int firstCode = -1;
    std::thread running([&] {
        try {
            ExportLun(ctx, records, 0, nullptr, nullptr, Quiet());
            firstCode = 0;
        } catch (const EvaError& e) {
            firstCode = e.code();
        }
    });
    while (!writing)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::string reason;
    EXPECT_EQ(ExportCode(0, Quiet(), &reason), kOpenDeviceFailed);
    EXPECT_NE(reason.find("running"), std::string::npos) << reason;
    EXPECT_THROW(OpenTarget(dir.file("other.img")), EvaError);
    release = true;
    running.join();
    EXPECT_EQ(firstCode, 0);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 4), 0);
}

TEST_F(ExportPipeline, NoOpenTargetIsOpenDeviceFailed)
{
    Build(2);
    EXPECT_EQ(ExportCode(), kOpenDeviceFailed);
}

TEST_F(ExportPipeline, ATargetThatCannotBePositionedIsSeekFailed)
{
    Build(2);
    OpenTarget(dir.file("lun.img"));
    WrapTarget()->failSeek = true;
    EXPECT_EQ(ExportCode(), kSeekFailed);
}

class ThreadStartFailure : public HandGroup, public ::testing::WithParamInterface<unsigned> {};

TEST_P(ThreadStartFailure, IsCreateThreadFailedAndStopsTheThreadsAlreadyRunning)
{
    Build(25);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    ExportControl c = Quiet();
    const unsigned failing = GetParam();
    c.beforeThreadStart = [failing](unsigned index) {
        if (index == failing)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    EXPECT_EQ(ExportCode(0, c), kCreateThreadFailed);
    EXPECT_EQ(FileSize(target), 0u);
    // The context stays usable: the next export runs.
    EXPECT_EQ(ExportCode(), 0);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 25), 0);
}

// Five readers are numbered 0..4, the writer 5.
INSTANTIATE_TEST_SUITE_P(Threads, ThreadStartFailure, ::testing::Values(0u, 3u, 5u),
                         [](const ::testing::TestParamInfo<unsigned>& row) {
                             return row.param == 5 ? std::string("Writer") : "Reader" + std::to_string(row.param);
                         });

// ---------------------------------------------------------------------------
// Stop and resume

struct StopAt {
    std::atomic<bool>* stop;
    int at;
};

int StopWhenReached(int32_t, int32_t done, void* user)
{
    auto* s = static_cast<StopAt*>(user);
    if (done == s->at)
        s->stop->store(true);
    return 0;
}

TEST_F(ExportPipeline, AStopRequestEndsBetweenStripesAndAResumeCompletesTheImage)
{
    Build(30);
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    std::atomic<bool> stop{false};
    StopAt s{&stop, 7};
    ExportControl c = Quiet();
    c.stop = &stop;
    std::vector<ExportReport> checkpoints;
    c.checkpoint = [&](const ExportReport& r) { checkpoints.push_back(r); };
    const ExportReport first = Export(0, c, StopWhenReached, &s);
    EXPECT_TRUE(first.cancelled);
    EXPECT_FALSE(first.Finished());
    // Stripes assembled but not yet written when the stop came are dropped.
    EXPECT_LE(first.written, 7u);
    // Nothing half-done: exactly the stripes reported are on the target.
    EXPECT_EQ(FileSize(target), first.written * kRun);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, static_cast<int>(first.written)), 0);
    ASSERT_FALSE(checkpoints.empty());
    EXPECT_EQ(checkpoints.back().written, first.written);

    stop = false;
    OpenTarget(target);
    ExportControl r = Quiet();
    r.firstStripe = first.written;
    std::vector<std::pair<int, int>> calls;
    const ExportReport second = Export(0, r, RecordProgress, &calls);
    EXPECT_EQ(second.firstStripe, first.written);
    EXPECT_TRUE(second.Finished());
    EXPECT_FALSE(second.cancelled);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), std::make_pair(30, static_cast<int>(first.written)));
    EXPECT_EQ(FileSize(target), 30 * kRun);
    EXPECT_EQ(CountWrongStripes(target, 0, 0, 30), 0);
}

TEST_F(ExportPipeline, AResumeOnADiskTargetLandsEachStripeAtStartPlusItsNumber)
{
    Build(6);
    const std::string target = dir.file("disk.img");
    const uint64_t start = 3 * 512;
    WriteFile(target, std::vector<uint8_t>(start + 6 * kRun, 0xCD));
    OpenTarget(target, start);
    ExportControl c = Quiet();
    c.firstStripe = 4;
    const ExportReport rep = Export(start, c);
    EXPECT_EQ(rep.written, 2u);
    EXPECT_EQ(ReadRange(target, 0, start + 4 * kRun), std::vector<uint8_t>(start + 4 * kRun, 0xCD));
    EXPECT_EQ(CountWrongStripes(target, start, 4, 6), 0);
}

TEST_F(ExportPipeline, CheckpointsReportOnlyWhatIsOnTheTarget)
{
    Build(12);
    ctx.memberMap[kRow][0] = nullptr;
    ctx.memberMap[kRow][1] = nullptr;
    const std::string target = dir.file("lun.img");
    OpenTarget(target);
    WrapTarget()->writeDelay = std::chrono::milliseconds(5);
    ExportControl c = Quiet();
    c.checkpointInterval = std::chrono::milliseconds(0);
    std::vector<ExportReport> seen;
    c.checkpoint = [&](const ExportReport& r) { seen.push_back(r); };
    Export(0, c);
    ASSERT_GE(seen.size(), 2u);
    uint32_t last = 0;
    for (const ExportReport& r : seen) {
        EXPECT_GE(r.written, last);
        last = r.written;
        EXPECT_EQ(r.complete + r.rebuilt + r.damaged, r.written);
        for (const ByteRange& z : r.zeroRanges)
            EXPECT_LE(z.offset + z.length, r.DoneEnd());
    }
    EXPECT_EQ(seen.back().written, 12u);
    EXPECT_EQ(seen.back().damaged, 12u);
}

} // namespace
} // namespace corvane::test

namespace corvane::test {
namespace {

} // namespace
} // namespace corvane::test
