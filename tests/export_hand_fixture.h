// A disk group made by hand for pipeline tests: member images in row 1 of
// the member map, stripe k by default on segment 4 + k of the five first
// members with its parity rotating over the columns, opened read-only into
// a context as discovery would.
#pragma once

#include "TempDir.h"
#include "engine/Address.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export_fakes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

namespace corvane::test {

class HandGroup : public ::testing::Test {
protected:
    static constexpr uint8_t kRow = 1;
    static constexpr uint32_t kFirstSegment = 4;

    // Where a stripe's five segments lie: a column and a segment each.
    struct Placement {
        std::array<uint8_t, 5> cols;
        std::array<uint32_t, 5> segs;
    };

    TempDir dir;
    EvaContext ctx;
    std::vector<std::string> memberPaths;
    std::vector<uint64_t> fingerprints;
    std::vector<Placement> placements;
    std::vector<LayoutRecord> records;
    std::map<uint8_t, size_t> columnMember; // column -> member file; identity unless aliased
    std::map<size_t, uint64_t> truncateAt;  // member -> size after writing
    int stripes = 0;
    mutable std::vector<uint8_t> m_data, m_expect, m_read;

    void SetUp() override
    {
        WarmUpThreads();
        AttachExportState(ctx);
    }

    void TearDown() override
    {
        // Members are never written, whatever the test did.
        for (size_t i = 0; i < fingerprints.size(); ++i)
            EXPECT_EQ(Fingerprint(memberPaths[i]), fingerprints[i]) << memberPaths[i] << " was changed";
    }

    static uint8_t ColumnOf(int k, unsigned p) { return static_cast<uint8_t>((p + static_cast<unsigned>(k)) % 5); }
    static uint32_t SegmentOf(int k) { return kFirstSegment + static_cast<uint32_t>(k); }

    // Adds n stripes in the default layout.
    void Plan(int n)
    {
        for (int k = 0; k < n; ++k)
            AddStripe({ColumnOf(k, 0), ColumnOf(k, 1), ColumnOf(k, 2), ColumnOf(k, 3), ColumnOf(k, 4)},
                      {SegmentOf(k), SegmentOf(k), SegmentOf(k), SegmentOf(k), SegmentOf(k)});
    }

    void AddStripe(const std::array<uint8_t, 5>& cols, const std::array<uint32_t, 5>& segs)
    {
        placements.push_back({cols, segs});
        records.push_back(StripeRecord(kRow, cols, segs));
        ++stripes;
    }

    size_t MemberOfColumn(uint8_t column) const
    {
        auto it = columnMember.find(column);
        return it == columnMember.end() ? column : it->second;
    }

    // Data segment p of stripe k, as its member holds it.
    void DataSegment(int k, unsigned p, uint8_t* out) const
    {
        const Placement& pl = placements[static_cast<size_t>(k)];
        FillSegment(static_cast<uint32_t>(MemberOfColumn(pl.cols[p])), pl.segs[p], out);
    }

    // Writes `members` member images with every planned stripe, then opens
    // them into the context at row 1, column = member number, plus the
    // aliased columns.
    void Open(int members = 5)
    {
        std::vector<int> fds;
        uint32_t maxSeg = 0;
        for (const auto& pl : placements)
            for (uint32_t s : pl.segs)
                maxSeg = std::max(maxSeg, s);
        for (int i = 0; i < members; ++i) {
            memberPaths.push_back(dir.file("member" + std::to_string(i) + ".img"));
            fds.push_back(::open(memberPaths.back().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            ASSERT_GE(fds.back(), 0);
            ASSERT_EQ(::ftruncate(fds.back(), static_cast<off_t>((maxSeg + 2) * kSeg)), 0);
        }
        std::vector<uint8_t> seg(kSeg), parity(kSeg);
        for (int k = 0; k < stripes; ++k) {
            const Placement& pl = placements[static_cast<size_t>(k)];
            std::fill(parity.begin(), parity.end(), 0);
            for (unsigned p = 0; p < 4; ++p) {
                DataSegment(k, p, seg.data());
                XorInto(parity.data(), seg.data(), kSeg);
                Put(fds[MemberOfColumn(pl.cols[p])], pl.segs[p], seg);
            }
            Put(fds[MemberOfColumn(pl.cols[4])], pl.segs[4], parity);
        }
        for (const auto& [member, size] : truncateAt)
            ASSERT_EQ(::ftruncate(fds[member], static_cast<off_t>(size)), 0);
        for (int fd : fds)
            ::close(fd);
        for (int i = 0; i < members; ++i) {
            fingerprints.push_back(Fingerprint(memberPaths[static_cast<size_t>(i)]));
            auto m = std::make_unique<MemberDisk>();
            ASSERT_TRUE(m->OpenSource(memberPaths[static_cast<size_t>(i)]));
            m->diskId = static_cast<uint8_t>(i);
            ctx.memberMap[kRow][static_cast<size_t>(i)] = m.get();
            ctx.members.push_back(std::move(m));
            ctx.sources.push_back({memberPaths[static_cast<size_t>(i)]});
        }
        for (const auto& [column, member] : columnMember)
            ctx.memberMap[kRow][column] = ctx.members[member].get();
    }

    void Build(int n, int members = 5)
    {
        Plan(n);
        Open(members);
    }

    static void Put(int fd, uint32_t segment, const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(::pwrite(fd, bytes.data(), kSeg, static_cast<off_t>(segment * kSeg)), static_cast<ssize_t>(kSeg));
    }

    // Stripe k as exported into out (kRun bytes), with the chunks of the
    // data positions in zeroPositions (those that could not be recovered) as
    // zeros. Buffers are reused: fresh large allocations are what makes the
    // thread sanitizer slow.
    void ExpectedStripeInto(int k, const std::set<unsigned>& zeroPositions, uint8_t* out) const
    {
        m_data.resize(4 * kSeg);
        for (unsigned p = 0; p < 4; ++p)
            DataSegment(k, p, m_data.data() + p * kSeg);
        Interleave({m_data.data(), m_data.data() + kSeg, m_data.data() + 2 * kSeg, m_data.data() + 3 * kSeg}, out);
        for (uint64_t c = 0; c < kRun / kChunk; ++c)
            if (zeroPositions.count(static_cast<unsigned>(c % 4)))
                std::memset(out + c * kChunk, 0, kChunk);
    }

    std::vector<uint8_t> ExpectedStripe(int k, const std::set<unsigned>& zeroPositions = {}) const
    {
        std::vector<uint8_t> out(kRun);
        ExpectedStripeInto(k, zeroPositions, out.data());
        return out;
    }

    // Stripe k as the export must write it: intact but for the LUN ranges
    // reported lost, which are zero.
    std::vector<uint8_t> ExpectedWithLost(int k, const std::vector<ByteRange>& lost) const
    {
        std::vector<uint8_t> out = ExpectedStripe(k);
        const uint64_t base = static_cast<uint64_t>(k) * kRun;
        for (const ByteRange& r : lost) {
            const uint64_t a = std::max(r.offset, base), b = std::min(r.offset + r.length, base + kRun);
            if (a < b)
                std::memset(out.data() + (a - base), 0, b - a);
        }
        return out;
    }

    // Stripes [from, to) of the target that differ from the intact LUN, the
    // first LUN byte at `start`.
    int CountWrongStripes(const std::string& target, uint64_t start, int from, int to) const
    {
        m_expect.resize(kRun);
        m_read.resize(kRun);
        const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return to - from;
        int wrong = 0;
        for (int k = from; k < to; ++k) {
            ExpectedStripeInto(k, {}, m_expect.data());
            const ssize_t n = ::pread(fd, m_read.data(), kRun, static_cast<off_t>(start + static_cast<uint64_t>(k) * kRun));
            if (n != static_cast<ssize_t>(kRun) || std::memcmp(m_read.data(), m_expect.data(), kRun) != 0)
                ++wrong;
        }
        ::close(fd);
        return wrong;
    }

    FaultyIO* WrapMember(size_t i)
    {
        auto faulty = std::make_unique<FaultyIO>(std::move(ctx.members[i]->io));
        FaultyIO* raw = faulty.get();
        ctx.members[i]->io = std::move(faulty);
        return raw;
    }

    FaultyIO* WrapTarget()
    {
        ExportState& st = AttachExportState(ctx);
        auto faulty = std::make_unique<FaultyIO>(std::move(st.target.io));
        FaultyIO* raw = faulty.get();
        st.target.io = std::move(faulty);
        return raw;
    }

    void OpenTarget(const std::string& path, uint64_t start = 0)
    {
        OpenExportTarget(ctx, path, start, static_cast<uint64_t>(stripes) * kRun);
    }

    // Controls without console lines, unless a test asks for them.
    static ExportControl Quiet()
    {
        ExportControl c;
        c.console = nullptr;
        return c;
    }

    // Runs the export and checks that it left no thread behind, whether it
    // returned or threw.
    ExportReport Export(uint64_t start = 0, const ExportControl& control = Quiet(), ExportProgressFn progress = nullptr,
                        void* user = nullptr)
    {
        struct ThreadCheck {
            std::set<int> before = TaskIds();
            ~ThreadCheck() { EXPECT_EQ(TaskIdsSettled(before), before) << "an export thread outlived ExportLun"; }
        } check;
        return ExportLun(ctx, records, start, progress, user, control);
    }

    // The code of the EvaError an export ends with (0: none).
    int ExportCode(uint64_t start = 0, const ExportControl& control = Quiet(), std::string* reason = nullptr)
    {
        try {
            Export(start, control);
        } catch (const EvaError& e) {
            if (reason)
                *reason = e.reason();
            return e.code();
        }
        return 0;
    }
};

// Console output captured through a temporary file.
class Capture {
public:
    Capture() : m_file(std::tmpfile()) {}
    ~Capture()
    {
        if (m_file)
            std::fclose(m_file);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    FILE* file() const { return m_file; }
    std::string Text() const
    {
        std::fflush(m_file);
        std::rewind(m_file);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, m_file)) > 0)
            s.append(buf, n);
        return s;
    }

private:
    FILE* m_file;
};

} // namespace corvane::test
