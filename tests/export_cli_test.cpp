// corvane-cli export as a user runs it: the exit status, what it prints,
// the mapfile (read back by ddrescuelog where it is installed), refusals,
// and an interrupted run continued with --resume.
#include "NbdMember.h"
#include "TempDir.h"
#include "export/RescueMap.h"
#include "export_fakes.h"
#include "tools/Sample.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace corvane::test {
namespace {

// Runs the command line program; stdout and stderr go to files.
class CliRun {
public:
    CliRun(const std::vector<std::string>& args, const std::string& out, const std::string& err,
           const std::string& locale = "C.UTF-8")
    {
        std::vector<std::string> all{CORVANE_CLI};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env{"LC_ALL=" + locale, "PATH=/usr/bin:/bin"};
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&m_pid, all[0].c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~CliRun()
    {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            Wait();
        }
    }
    CliRun(const CliRun&) = delete;
    CliRun& operator=(const CliRun&) = delete;

    pid_t pid() const { return m_pid; }
    // The exit status; 128 + signal when a signal ended it.
    int Wait()
    {
        int st = 0;
        while (::waitpid(m_pid, &st, 0) < 0 && errno == EINTR) {
        }
        m_reaped = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};

std::string Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Runs a shell command and returns its standard output; false when it could
// not run or did not exit with 0.
bool Shell(const std::string& cmd, std::string& out, int* status = nullptr)
{
    out.clear();
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return false;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int st = ::pclose(p);
    const int code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    if (status)
        *status = code;
    return code == 0;
}

bool HaveDdrescuelog()
{
    std::string out;
    return Shell("ddrescuelog --version 2>/dev/null", out);
}

// Blocks of 128 KiB with one of the given statuses, as ddrescuelog counts them.
long DdrescuelogBlocks(const std::string& map, char status)
{
    std::string out;
    if (!Shell(std::string("ddrescuelog -b 131072 -l") + status + " '" + map + "' 2>/dev/null", out))
        return -1;
    return static_cast<long>(std::count(out.begin(), out.end(), '\n'));
}

class ExportCli : public ::testing::Test {
protected:
    TempDir dir;
    sample::Manifest manifest;

    void Generate(const sample::GroupPlan& groupPlan) { manifest = sample::Generate(groupPlan, dir.file("group")); }

    int Run(std::vector<std::string> args, const std::string& locale = "C.UTF-8")
    {
        CliRun run(ExportArgs(args), dir.file("stdout"), dir.file("stderr"), locale);
        return run.Wait();
    }
    std::vector<std::string> ExportArgs(const std::vector<std::string>& args) const
    {
        std::vector<std::string> all{"export"};
        for (const auto& s : manifest.Sources())
            all.push_back(s);
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    std::string Stdout() const { return Slurp(dir.file("stdout")); }
    std::string Stderr() const { return Slurp(dir.file("stderr")); }
};

TEST_F(ExportCli, AHealthyLunIsCopiedByteForByte)
{
    Generate(sample::HealthyGroup(5, {2, 5}));
    const std::string out = dir.file("lun.img"), map = dir.file("lun.map");
    ASSERT_EQ(Run({"--lun", "0:1", "--to", out, "--map", map, "--console"}), 0) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[1].bytes), manifest.luns[1].sha256);
    if (HaveDdrescuelog()) {
        std::string s;
        int code = -1;
        Shell("ddrescuelog -D '" + map + "' >/dev/null 2>&1", s, &code);
        EXPECT_EQ(code, 0) << "ddrescuelog does not take the healthy export as all rescued";
        EXPECT_EQ(DdrescuelogBlocks(map, '+'), static_cast<long>(manifest.luns[1].bytes / 131072));
    }
    const std::string text = Stdout();
    EXPECT_NE(text.find("0-5\r1-5\r2-5\r3-5\r4-5\r"), std::string::npos);
    EXPECT_NE(text.find("写线程退出\n"), std::string::npos);
    EXPECT_NE(text.find("任务结束！"), std::string::npos);
    EXPECT_NE(text.find("complete:                  5"), std::string::npos) << text;
    EXPECT_NE(text.find("No LUN bytes were zero-filled"), std::string::npos) << text;
}

TEST_F(ExportCli, AnImagedMemberWithHolesIsRebuiltWhereItsMapfileSaysTheyAre)
{
    // Member 2 was imaged with a 64 KiB hole inside stripe 1's segment of
    // position 1: without its map the hole's zeros would pass for data.
    sample::GroupPlan groupPlan = sample::HealthyGroup(5, {3});
    groupPlan.luns[0].faults.push_back({1, 1, 0x30000, 0x10000, sample::FaultKind::Hole});
    Generate(groupPlan);
    std::string image, mapfile;
    for (const auto& m : manifest.members)
        if (!m.imageMap.empty()) {
            image = m.path;
            mapfile = m.imageMap;
        }
    ASSERT_FALSE(mapfile.empty());
    const std::string out = dir.file("lun.img");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--source-map", image + "=" + mapfile}), 0) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    EXPECT_NE(Stdout().find("rebuilt from parity: 65536, lost: 0"), std::string::npos) << Stdout();
}

TEST_F(ExportCli, StraySourcesAmongTheMembersChangeNoByteAndAreWarnedOf)
{
    // A blank disk added after member 0 and a foreign disk whose byte 115 is
    // member 3's id: the LUN comes out as the group holds it.
    sample::GroupPlan groupPlan = sample::HealthyGroup(6, {6});
    sample::MemberPlan blank, foreign;
    blank.tagged = foreign.tagged = false;
    blank.content = sample::Content::Blank;
    foreign.content = sample::Content::Foreign;
    foreign.diskId = 3;
    groupPlan.members.insert(groupPlan.members.begin() + 1, blank);
    for (int& m : groupPlan.rows[0])
        m += m >= 1 ? 1 : 0;
    groupPlan.members.push_back(foreign);
    Generate(groupPlan);
    const std::string out = dir.file("lun.img");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out}), 0) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    const std::string err = Stderr();
    for (size_t stray : {size_t{1}, manifest.members.size() - 1})
        EXPECT_NE(err.find("warning: " + manifest.members[stray].path + " carries disk id"), std::string::npos)
            << err;
    EXPECT_NE(Stdout().find("No LUN bytes were zero-filled"), std::string::npos);
}

TEST_F(ExportCli, ADamagedLunListsItsZeroFilledRangesAndItsMapfileReadsBackInDdrescuelog)
{
    sample::GroupPlan groupPlan = sample::HealthyGroup(6, {10});
    groupPlan.members[1].present = false;
    groupPlan.members[4].present = false;
    Generate(groupPlan);
    const sample::LunOut& lun = manifest.luns[0];
    ASSERT_FALSE(lun.zeroRanges.empty());
    const std::string out = dir.file("lun.img"), map = dir.file("lun.map");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map}), 0) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.exportSha256);

    uint64_t zeroBytes = 0;
    const std::string text = Stdout();
    for (const auto& [offset, length] : lun.zeroRanges) {
        zeroBytes += length;
        char line[64];
        std::snprintf(line, sizeof line, "  0x%llX 0x%llX\n", static_cast<unsigned long long>(offset),
                      static_cast<unsigned long long>(length));
        EXPECT_NE(text.find(line), std::string::npos) << "range not listed: " << line;
    }
    EXPECT_NE(text.find("with zero-filled segments: " + std::to_string(lun.damagedStripes)), std::string::npos);

    if (!HaveDdrescuelog())
        GTEST_SKIP() << "ddrescuelog is not installed";
    std::string status;
    int code = -1;
    Shell("ddrescuelog -t '" + map + "' 2>&1", status, &code);
    EXPECT_EQ(code, 0) << status;
    EXPECT_EQ(DdrescuelogBlocks(map, '-'), static_cast<long>(zeroBytes / 131072));
    EXPECT_EQ(DdrescuelogBlocks(map, '+'), static_cast<long>((lun.bytes - zeroBytes) / 131072));
    EXPECT_EQ(DdrescuelogBlocks(map, '?'), 0);
    // Every pass is done, but the zero-filled areas were not rescued.
    EXPECT_NE(status.find("finished"), std::string::npos) << status;
    Shell("ddrescuelog -D '" + map + "' >/dev/null 2>&1", status, &code);
    EXPECT_NE(code, 0) << "ddrescuelog takes a map with unrecovered areas as all rescued";
}

TEST_F(ExportCli, AnInterruptedExportLeavesAMapThatResumeCompletes)
{
    Generate(sample::HealthyGroup(5, {48}));
    const sample::LunOut& lun = manifest.luns[0];
    const std::string out = dir.file("lun.img"), map = dir.file("lun.map");
    std::vector<std::string> args{"export"};
    for (const auto& s : manifest.Sources())
        args.push_back(s);
    for (const char* a : {"--lun", "0:0", "--to"})
        args.emplace_back(a);
    args.push_back(out);
    args.emplace_back("--map");
    args.push_back(map);
    {
        CliRun run(args, dir.file("stdout"), dir.file("stderr"));
        ASSERT_GT(run.pid(), 0);
        // Interrupt once the first stripes are on the target.
        for (int i = 0; i < 20000 && FileSize(out) < 2 * kRun; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        ::kill(run.pid(), SIGINT);
        ASSERT_EQ(run.Wait(), 130) << Stderr() << " (the export may have finished before the signal)";
    }
    EXPECT_NE(Stderr().find("continue with --map"), std::string::npos) << Stderr();
    const std::string text = Slurp(map);
    EXPECT_EQ(text.find("# Finished"), std::string::npos);
    const uint64_t done = FileSize(out);
    EXPECT_LT(done, lun.bytes);
    if (HaveDdrescuelog()) {
        std::string s;
        int code = -1;
        Shell("ddrescuelog -D '" + map + "' >/dev/null 2>&1", s, &code);
        EXPECT_NE(code, 0) << "an interrupted map must not read as finished";
        // The map never claims more than the target holds.
        EXPECT_LE(static_cast<uint64_t>(DdrescuelogBlocks(map, '+')) * 131072, done);
    }

    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--resume", "--console"}), 0) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.sha256);
    EXPECT_NE(Slurp(map).find("# Finished"), std::string::npos);
    // The resumed run began where the first one stopped.
    EXPECT_EQ(Stdout().rfind(std::to_string(done / kRun) + "-48\r", 0), 0u) << Stdout().substr(0, 40);
}

TEST_F(ExportCli, ResumeRefusesTheMapOfAnotherExport)
{
    Generate(sample::HealthyGroup(5, {2, 3}));
    const std::string map = dir.file("lun.map");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", dir.file("a.img"), "--map", map}), 0) << Stderr();
    const std::string before = Slurp(map);
    EXPECT_EQ(Run({"--lun", "0:1", "--to", dir.file("a.img"), "--map", map, "--resume"}), 64);
    EXPECT_EQ(Run({"--lun", "0:0", "--to", dir.file("a.img"), "--offset-sectors", "8", "--map", map, "--resume"}), 64);
    EXPECT_EQ(Slurp(map), before);
}

TEST_F(ExportCli, AFileThatIsNoMapfileIsNotOverwritten)
{
    Generate(sample::HealthyGroup(5, {2}));
    const std::string notes = dir.file("notes.txt");
    WriteFile(notes, std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
    EXPECT_EQ(Run({"--lun", "0:0", "--to", dir.file("a.img"), "--map", notes}), 66);
    EXPECT_EQ(Slurp(notes), "hello\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.img")));
}

// verify names the stale member and exits 19; export --verify --exclude it
// writes the current data, and MAP.inconsistent marks nothing '-'.
TEST_F(ExportCli, VerifyNamesTheStaleMemberAndExportExcludingItIsCurrent)
{
    sample::GroupPlan g = sample::HealthyGroup(8, {10});
    g.luns[0].staleMember = 6;
    Generate(g);
    const std::string stale = manifest.Sources()[6];
    std::vector<std::string> verify{"verify"};
    for (const auto& src : manifest.Sources())
        verify.push_back(src);
    verify.push_back("--json");
    {
        CliRun run(verify, dir.file("stdout"), dir.file("stderr"));
        ASSERT_EQ(run.Wait(), 19) << Stderr();
    }
    const auto j = nlohmann::json::parse(Stdout());
    EXPECT_EQ(j["likelyStale"], stale);
    EXPECT_EQ(j["stripes"]["inconsistent"], manifest.luns[0].inconsistentStripes.size());
    EXPECT_EQ(j["status"], 19);

    const std::string out = dir.file("lun.img"), map = dir.file("lun.map");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--verify", "--exclude", stale, "--json"}), 0)
        << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, manifest.luns[0].bytes), manifest.luns[0].sha256);
    const auto e = nlohmann::json::parse(Stdout());
    EXPECT_EQ(e["parity"]["stripes"]["inconsistent"], 0);
    EXPECT_EQ(e["excluded"], nlohmann::json::array({stale}));
    RescueMap inconsistent;
    std::string error;
    ASSERT_TRUE(RescueMap::Parse(Slurp(map + ".inconsistent"), inconsistent, error)) << error;
    EXPECT_EQ(inconsistent.Total('+'), manifest.luns[0].bytes);
    EXPECT_NE(Slurp(map).find("# corvane excluded " + stale), std::string::npos);

    // Without the exclusion the stale bytes are exported, and said to be.
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--restart", "--verify"}), 19) << Stderr();
    ASSERT_TRUE(RescueMap::Parse(Slurp(map + ".inconsistent"), inconsistent, error)) << error;
    EXPECT_EQ(inconsistent.Total('-'), manifest.luns[0].inconsistentStripes.size() * 0x800000);
    EXPECT_NE(Stdout().find("Likely stale member: " + stale), std::string::npos) << Stdout();
}

struct RefusalCase {
    const char* name;
    std::vector<std::string> args; // "@SRC0" stands for the first source
    int status;
    const char* stderrHas;
};

class ExportCliRefusal : public ExportCli, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ExportCliRefusal, EndsWithTheRightStatusAndWritesNothing)
{
    Generate(sample::HealthyGroup(5, {2}));
    // Maps for the --source-map rows: one that parses, one that does not.
    auto text = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
    WriteFile(dir.file("good.map"), text("0 +\n0 0x10000000 +\n"));
    WriteFile(dir.file("bad.map"), text("0 +\n0 0x1000 +\n0x2000 0x1000 -\n"));
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        for (const char* key : {"@SRC0", "@SRC1", "@OUT", "@DIR"}) {
            const size_t at = a.find(key);
            if (at == std::string::npos)
                continue;
            const std::string value = std::string(key) == "@SRC0"   ? manifest.Sources()[0]
                                      : std::string(key) == "@SRC1" ? manifest.Sources()[1]
                                      : std::string(key) == "@OUT" ? dir.file("out.img")
                                                                   : dir.file(".");
            a.replace(at, std::strlen(key), value);
        }
        args.push_back(a);
    }
    const std::vector<uint64_t> before = [&] {
        std::vector<uint64_t> f;
        for (const auto& m : manifest.members)
            f.push_back(Fingerprint(m.path));
        return f;
    }();
    EXPECT_EQ(Run(args), GetParam().status) << Stderr();
    EXPECT_NE(Stderr().find(GetParam().stderrHas), std::string::npos) << Stderr();
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.img")));
    for (size_t i = 0; i < manifest.members.size(); ++i)
        EXPECT_EQ(Fingerprint(manifest.members[i].path), before[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ExportCliRefusal,
    ::testing::Values(RefusalCase{"TargetIsASource", {"--lun", "0:0", "--to", "@SRC0"}, 1, "Open Device Failed!"},
                      RefusalCase{"NegativeOffset", {"--lun", "0:0", "--to", "@OUT", "--offset-sectors", "-1"}, 64,
                                  "offset-sectors"},
                      RefusalCase{"NoSuchLun", {"--lun", "3:9", "--to", "@OUT"}, 65, "no LUN 3:9"},
                      RefusalCase{"MalformedLun", {"--lun", "7", "--to", "@OUT"}, 64, "GROUP:ID"},
                      RefusalCase{"ResumeWithoutMap", {"--lun", "0:0", "--to", "@OUT", "--resume"}, 64, "--map"},
                      RefusalCase{"SourceMapOfNoSource",
                                  {"--lun", "0:0", "--to", "@OUT", "--source-map", "@DIR/other.img=@DIR/good.map"},
                                  64,
                                  "is not one of the sources"},
                      RefusalCase{"SourceMapTwice",
                                  {"--lun", "0:0", "--to", "@OUT", "--source-map", "@SRC0=@DIR/good.map",
                                   "--source-map", "@SRC0=@DIR/good.map"},
                                  64,
                                  "has a mapfile already"},
                      RefusalCase{"SourceMapNotAMapfile",
                                  {"--lun", "0:0", "--to", "@OUT", "--source-map", "@SRC0=@DIR/bad.map"},
                                  66,
                                  "bad.map line 3: block does not start where the previous one ended"},
                      RefusalCase{"SourceMapMissing",
                                  {"--lun", "0:0", "--to", "@OUT", "--source-map", "@SRC0=@DIR/none.map"},
                                  66,
                                  "none.map"},
                      RefusalCase{"MapIsTheTarget", {"--lun", "0:0", "--to", "@OUT", "--map", "@DIR/./out.img"}, 64,
                                  "is the target"},
                      RefusalCase{"MapIsASource", {"--lun", "0:0", "--to", "@OUT", "--map", "@SRC0"}, 64,
                                  "is the source"},
                      RefusalCase{"MapInAMissingDirectory",
                                  {"--lun", "0:0", "--to", "@OUT", "--map", "@DIR/none/lun.map"},
                                  64,
                                  "does not exist"},
                      RefusalCase{"UnknownHash", {"--lun", "0:0", "--to", "@OUT", "--hash", "crc32"}, 64, "--hash"},
                      RefusalCase{"ExcludeOfNoSource", {"--lun", "0:0", "--to", "@OUT", "--exclude", "@DIR/x.img"},
                                  64, "not one of the sources given"},
                      // Every stripe of a five-member group uses all five.
                      RefusalCase{"ExcludeTwoOfAStripe",
                                  {"--lun", "0:0", "--to", "@OUT", "--exclude", "@SRC0", "--exclude", "@SRC1"},
                                  64,
                                  "2 of 2 stripes with two or more positions missing"},
                      RefusalCase{"SourceMapWithoutImage",
                                  {"--lun", "0:0", "--to", "@OUT", "--source-map", "@DIR/good.map"},
                                  64,
                                  "IMAGE=MAPFILE"}),
    [](const ::testing::TestParamInfo<RefusalCase>& row) { return std::string(row.param.name); });

// A finished export whose target is then tampered with: the next run with
// the same --map must check the target before it trusts the map.
struct ResumeCase {
    const char* name;
    // Changes the target (out) or the map after the first, finished run.
    std::function<void(const std::string& out, const std::string& map, const TempDir& dir)> change;
    std::vector<std::string> args; // @OUT, @MAP and @DIR are replaced
    int status;
    const char* stderrHas;
    bool imageIsLun; // the target holds the whole LUN afterwards
};

class ExportCliResume : public ExportCli, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(ExportCliResume, ChecksTheTargetBeforeTrustingTheMap)
{
    Generate(sample::HealthyGroup(5, {12}));
    const sample::LunOut& lun = manifest.luns[0];
    const std::string out = dir.file("out.img"), map = dir.file("lun.map");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map}), 0) << Stderr();
    GetParam().change(out, map, dir);
    const std::string mapBefore = Slurp(map);
    std::vector<std::string> args{"--lun", "0:0"};
    for (std::string a : GetParam().args) {
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"@OUT", out}, {"@MAP", map},
                                         {"@DIR", dir.path().string()}})
            if (const size_t at = a.find(key); at != std::string::npos)
                a.replace(at, key.size(), value);
        args.push_back(a);
    }
    EXPECT_EQ(Run(args), GetParam().status) << Stderr();
    EXPECT_NE(Stderr().find(GetParam().stderrHas), std::string::npos) << Stderr();
    if (GetParam().status != 0) {
        EXPECT_EQ(Slurp(map), mapBefore) << "a refused run rewrote the map";
    }
    if (GetParam().imageIsLun) {
        EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.sha256);
        RescueMap m;
        std::string error;
        ASSERT_TRUE(RescueMap::Parse(Slurp(map), m, error)) << error;
        EXPECT_EQ(m.Total('+'), lun.bytes);
    }
}

void Truncate(const std::string& path, uint64_t size)
{
    std::filesystem::resize_file(path, size);
}

// A map as ddrescuelog writes it (no comment of ours): stripes 0 to 4 done.
void PartialForeignMap(const std::string& out, const std::string& map, const TempDir& dir)
{
    char text[160];
    std::snprintf(text, sizeof text, "0x%llX ? 1\n0 0x%llX +\n0x%llX 0x%llX ?\n",
                  static_cast<unsigned long long>(5 * kRun), static_cast<unsigned long long>(5 * kRun),
                  static_cast<unsigned long long>(5 * kRun), static_cast<unsigned long long>(7 * kRun));
    const std::string hand = dir.file("hand.map");
    WriteFile(hand, std::vector<uint8_t>(text, text + std::strlen(text)));
    std::string rewritten;
    if (HaveDdrescuelog() && Shell("ddrescuelog -a '?,?' '" + hand + "'", rewritten))
        WriteFile(map, std::vector<uint8_t>(rewritten.begin(), rewritten.end()));
    else
        std::filesystem::copy_file(hand, map, std::filesystem::copy_options::overwrite_existing);
    // Stripes after the resume point must be written again.
    Truncate(out, 5 * kRun);
}

INSTANTIATE_TEST_SUITE_P(
    AfterAFinishedRun, ExportCliResume,
    ::testing::Values(
        ResumeCase{"TargetDeleted", [](const std::string& out, const std::string&,
                                       const TempDir&) { std::filesystem::remove(out); },
                   {"--to", "@OUT", "--map", "@MAP"}, 64, "does not exist", false},
        ResumeCase{"TargetTruncated", [](const std::string& out, const std::string&,
                                         const TempDir&) { Truncate(out, 0x100000); },
                   {"--to", "@OUT", "--map", "@MAP"}, 64, "truncated?", false},
        ResumeCase{"TargetReplaced",
                   [](const std::string& out, const std::string&, const TempDir& dir) {
                       // A new inode for the same name, as long as the LUN.
                       WriteFile(dir.file("new.img"), std::vector<uint8_t>(12 * kRun, 0));
                       std::filesystem::rename(dir.file("new.img"), out);
                   },
                   {"--to", "@OUT", "--map", "@MAP"}, 64, "was replaced", false},
        ResumeCase{"TargetTruncatedWithRestart", [](const std::string& out, const std::string&,
                                                    const TempDir&) { Truncate(out, 0x100000); },
                   {"--to", "@OUT", "--map", "@MAP", "--restart"}, 0, "--restart", true},
        ResumeCase{"TargetSpelledDifferently",
                   [](const std::string&, const std::string&, const TempDir& dir) {
                       std::filesystem::create_directory(dir.file("sub"));
                   },
                   {"--to", "@DIR/sub/../out.img", "--map", "@MAP", "--resume"}, 0, "marks every stripe done",
                   true},
        ResumeCase{"MapRewrittenByDdrescuelog", PartialForeignMap, {"--to", "@OUT", "--map", "@MAP"}, 0,
                   "at stripe 5 of 12", true}),
    [](const ::testing::TestParamInfo<ResumeCase>& row) { return std::string(row.param.name); });

// Stopping by signal: within about a second, the map saved and a later run
// continuing from it. Member 0 is served at 40 Mbit/s so the export takes
// long enough to be interrupted.
struct SignalCase {
    const char* name;
    int signal;
    int times;
    int status;
};

class ExportCliSignal : public ExportCli, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(ExportCliSignal, StopsWithinASecondAndSavesTheMap)
{
    if (!NbdMember::Available())
        GTEST_SKIP() << NbdMember::Unavailable();
    Generate(sample::HealthyGroup(5, {48}));
    const sample::LunOut& lun = manifest.luns[0];
    const std::string slow = manifest.members[0].path;
    char whole[96];
    std::snprintf(whole, sizeof whole, "0 +\n0 0x%llX +\n", static_cast<unsigned long long>(FileSize(slow)));
    WriteFile(dir.file("all.map"), std::vector<uint8_t>(whole, whole + std::strlen(whole)));
    NbdMember member(slow, dir.file("all.map"), {.rateBitsPerSecond = 40'000'000, .mountDir = dir.file("mnt")});
    const std::string out = dir.file("out.img"), map = dir.file("lun.map");
    std::vector<std::string> args{"export"};
    for (const auto& s : manifest.Sources())
        args.push_back(s == slow ? member.Path() : s);
    for (const std::string& a : {std::string("--lun"), std::string("0:0"), std::string("--to"), out,
                                 std::string("--map"), map})
        args.push_back(a);
    CliRun run(args, dir.file("stdout"), dir.file("stderr"));
    ASSERT_GT(run.pid(), 0);
    for (int i = 0; i < 600 && FileSize(out) < kRun; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GE(FileSize(out), kRun) << Stderr();
    const auto sent = std::chrono::steady_clock::now();
    for (int i = 0; i < GetParam().times; ++i) {
        ::kill(run.pid(), GetParam().signal);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(run.Wait(), GetParam().status) << Stderr();
    // About a second when the machine is quiet; the bound only has to tell
    // a stop from writing out the stripes already queued (tens of seconds
    // on this 5 MB/s member), also under the sanitizers on a loaded machine.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count(), 10.0);
    RescueMap m;
    std::string error;
    ASSERT_TRUE(RescueMap::Parse(Slurp(map), m, error)) << error;
    EXPECT_GT(m.Total('?'), 0u);
    EXPECT_LE(m.Total('+'), FileSize(out)) << "the map claims more than the target holds";
    // The plain images continue where the map says.
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map}), 0) << Stderr();
    EXPECT_NE(Stderr().find("continuing from"), std::string::npos) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.sha256);
}

INSTANTIATE_TEST_SUITE_P(Signals, ExportCliSignal,
                         ::testing::Values(SignalCase{"Sigterm", SIGTERM, 1, 143},
                                           SignalCase{"Sigint", SIGINT, 1, 130},
                                           SignalCase{"SigintTwice", SIGINT, 2, 130}),
                         [](const ::testing::TestParamInfo<SignalCase>& row) { return std::string(row.param.name); });

TEST_F(ExportCli, RetryBadReadsTheLostRangesAgainOnceTheyRead)
{
    // Two data positions of stripe 2 unreadable at the same place: lost,
    // until the members read again (here: their imaging maps are dropped).
    sample::GroupPlan groupPlan = sample::HealthyGroup(5, {6});
    groupPlan.luns[0].faults.push_back({2, 0, 0x10000, 0x20000, sample::FaultKind::Unreadable});
    groupPlan.luns[0].faults.push_back({2, 1, 0x10000, 0x20000, sample::FaultKind::Unreadable});
    Generate(groupPlan);
    const sample::LunOut& lun = manifest.luns[0];
    ASSERT_GT(lun.lostBytes, 0u);
    std::vector<std::string> bad;
    for (const auto& m : manifest.members)
        if (!m.badMap.empty())
            bad.push_back(m.path + "=" + m.badMap);
    ASSERT_EQ(bad.size(), 2u);
    const std::string out = dir.file("out.img"), map = dir.file("lun.map");
    auto lost = [&] {
        RescueMap m;
        std::string error;
        EXPECT_TRUE(RescueMap::Parse(Slurp(map), m, error)) << error;
        return m.Total('-');
    };
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--source-map", bad[0], "--source-map", bad[1]}), 0)
        << Stderr();
    EXPECT_EQ(lost(), lun.lostBytes);
    // Without --retry-bad a finished map is left as it is.
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map}), 0) << Stderr();
    EXPECT_EQ(lost(), lun.lostBytes);
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--retry-bad"}), 0) << Stderr();
    EXPECT_NE(Stdout().find("read again (--retry-bad):  1"), std::string::npos) << Stdout();
    EXPECT_EQ(lost(), 0u);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.sha256);
}

TEST_F(ExportCli, SparseLeavesZeroBlocksAsHoles)
{
    sample::GroupPlan groupPlan = sample::HealthyGroup(6, {10});
    groupPlan.members[1].present = false;
    groupPlan.members[4].present = false;
    Generate(groupPlan);
    const sample::LunOut& lun = manifest.luns[0];
    ASSERT_GT(lun.lostBytes, 2 * kRun);
    auto allocated = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
    };
    ASSERT_EQ(Run({"--lun", "0:0", "--to", dir.file("full.img")}), 0) << Stderr();
    ASSERT_EQ(Run({"--lun", "0:0", "--to", dir.file("sparse.img"), "--sparse", "--strict"}), 18) << Stderr();
    EXPECT_EQ(FileSize(dir.file("sparse.img")), lun.bytes);
    EXPECT_EQ(sample::Sha256OfFile(dir.file("sparse.img"), 0, lun.bytes), lun.exportSha256);
    EXPECT_GE(allocated(dir.file("full.img")), lun.bytes);
    EXPECT_LE(allocated(dir.file("sparse.img")), lun.bytes - lun.lostBytes + 0x10000);
}

struct HashCase {
    const char* name;
    const char* tool;
};

class ExportCliHash : public ExportCli, public ::testing::WithParamInterface<HashCase> {};

TEST_P(ExportCliHash, HashesTheBytesOnTheTargetInTheJsonAndTheMap)
{
    Generate(sample::HealthyGroup(5, {7}));
    const std::string out = dir.file("out.img"), map = dir.file("lun.map");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--json", "--hash", GetParam().name}), 0) << Stderr();
    std::string sum;
    ASSERT_TRUE(Shell(std::string(GetParam().tool) + " '" + out + "'", sum));
    sum = sum.substr(0, sum.find(' '));
    const nlohmann::json j = nlohmann::json::parse(Stdout());
    EXPECT_EQ(j["hash"]["algorithm"], GetParam().name);
    EXPECT_EQ(j["hash"]["value"], sum);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["stripes"]["written"], 7);
    EXPECT_EQ(j["bytesLost"], 0);
    EXPECT_NE(Slurp(map).find(std::string("# corvane ") + GetParam().name + " " + sum), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, ExportCliHash,
                         ::testing::Values(HashCase{"sha256", "sha256sum"}, HashCase{"md5", "md5sum"},
                                           HashCase{"sha1", "sha1sum"}),
                         [](const ::testing::TestParamInfo<HashCase>& row) { return std::string(row.param.name); });

TEST_F(ExportCli, JsonIsUtf8UnderAGbkLocale)
{
    std::string locales;
    Shell("locale -a", locales);
    if (locales.find("zh_CN.gbk") == std::string::npos)
        GTEST_SKIP() << "the zh_CN.GBK locale is not generated here (locale-gen zh_CN.GBK)";
    // "样本" and "导出" in GBK, as a user under that locale names them.
    const std::string group = dir.file("\xD1\xF9\xB1\xBE"), out = dir.file("\xB5\xBC\xB3\xF6.img");
    // The generator writes its manifest in UTF-8: generated under a plain
    // name, then moved.
    Generate(sample::HealthyGroup(5, {2}));
    std::filesystem::rename(dir.file("group"), group);
    std::vector<std::string> args{"export"};
    for (const auto& s : manifest.Sources())
        args.push_back(group + s.substr(dir.file("group").size()));
    for (const std::string& a : {std::string("--lun"), std::string("0:0"), std::string("--to"), out,
                                 std::string("--json")})
        args.push_back(a);
    {
        CliRun ex(args, dir.file("stdout"), dir.file("stderr"), "zh_CN.GBK");
        ASSERT_EQ(ex.Wait(), 0) << Stderr();
    }
    const nlohmann::json e = nlohmann::json::parse(Stdout()); // throws on bytes that are not UTF-8
    EXPECT_NE(e["target"].get<std::string>().find("导出.img"), std::string::npos) << e["target"];
    args.erase(args.end() - 5, args.end());
    args[0] = "analyze";
    args.push_back("--json");
    CliRun run(args, dir.file("stdout"), dir.file("stderr"), "zh_CN.GBK");
    ASSERT_EQ(run.Wait(), 0) << Stderr();
    const nlohmann::json a = nlohmann::json::parse(Stdout());
    EXPECT_NE(a["members"][0]["source"].get<std::string>().find("样本"), std::string::npos) << a["members"][0];
}

TEST_F(ExportCli, VersionAndTheExitStatusTable)
{
    CliRun v({"-V"}, dir.file("stdout"), dir.file("stderr"));
    EXPECT_EQ(v.Wait(), 0);
    EXPECT_EQ(Stdout().rfind("corvane-cli ", 0), 0u) << Stdout();
    CliRun h({"--help"}, dir.file("stdout"), dir.file("stderr"));
    EXPECT_EQ(h.Wait(), 0);
    for (const char* row : {"  64 ", "  65 ", "  66 ", "  70 ", "  18 ", "130/143"})
        EXPECT_NE(Stdout().find(row), std::string::npos) << row;
}

} // namespace
} // namespace corvane::test
