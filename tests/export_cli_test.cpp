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
    EXPECT_EQ(Stdout(), "") << "a refused export wrote to standard output";
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
                      RefusalCase{"StreamWithAnOffset", {"--lun", "0:0", "--to", "-", "--offset-sectors", "8"}, 64,
                                  "standard output cannot seek"},
                      RefusalCase{"StreamSparse", {"--lun", "0:0", "--to", "-", "--sparse"}, 64,
                                  "standard output cannot hold holes"},
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
                   "at stripe 5 of 12", true},
        ResumeCase{"MapContinuedOnStandardOutput", [](const std::string&, const std::string&, const TempDir&) {},
                   {"--to", "-", "--map", "@MAP"}, 64, "cannot continue from a map", true}),
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

enum class HashDamage { None, OneFault, MemberLeftOut };

struct HashCase {
    const char* name;
    const char* algorithm;
    const char* tool;
    // None: every stripe is copied by the kernel (read back); OneFault: one
    // stripe is rebuilt in the buffers among kernel copies; MemberLeftOut:
    // every stripe comes from the buffers.
    HashDamage damage;
};

class ExportCliHash : public ExportCli, public ::testing::WithParamInterface<HashCase> {};

TEST_P(ExportCliHash, HashesTheBytesOnTheTargetInTheJsonAndTheMap)
{
    sample::GroupPlan groupPlan = sample::HealthyGroup(5, {7});
    if (GetParam().damage == HashDamage::OneFault)
        groupPlan.luns[0].faults.push_back({3, 0, 0x10000, 0x20000, sample::FaultKind::Unreadable});
    if (GetParam().damage == HashDamage::MemberLeftOut)
        groupPlan.members[2].present = false;
    Generate(groupPlan);
    const std::string out = dir.file("out.img"), map = dir.file("lun.map");
    std::vector<std::string> args{"--lun", "0:0", "--to", out, "--map", map, "--json", "--hash", GetParam().algorithm};
    for (const auto& m : manifest.members)
        if (!m.badMap.empty())
            args.insert(args.end(), {"--source-map", m.path + "=" + m.badMap});
    ASSERT_EQ(Run(args), 0) << Stderr();
    std::string sum;
    ASSERT_TRUE(Shell(std::string(GetParam().tool) + " '" + out + "'", sum));
    sum = sum.substr(0, sum.find(' '));
    if (std::string(GetParam().algorithm) == "sha256") {
        EXPECT_EQ(sum, manifest.luns[0].sha256);
    }
    const nlohmann::json j = nlohmann::json::parse(Stdout());
    EXPECT_EQ(j["hash"]["algorithm"], GetParam().algorithm);
    EXPECT_EQ(j["hash"]["value"], sum);
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["stripes"]["written"], 7);
    EXPECT_EQ(j["bytesLost"], 0);
    EXPECT_EQ(j["bytesRebuilt"] != 0, GetParam().damage != HashDamage::None) << j["bytesRebuilt"];
    EXPECT_NE(Slurp(map).find(std::string("# corvane ") + GetParam().algorithm + " " + sum), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, ExportCliHash,
    ::testing::Values(HashCase{"sha256", "sha256", "sha256sum", HashDamage::None},
                      HashCase{"md5", "md5", "md5sum", HashDamage::None},
                      HashCase{"sha1", "sha1", "sha1sum", HashDamage::None},
                      HashCase{"RebuiltStripeAmongKernelCopies", "sha256", "sha256sum", HashDamage::OneFault},
                      HashCase{"EveryStripeFromTheBuffers", "md5", "md5sum", HashDamage::MemberLeftOut}),
    [](const ::testing::TestParamInfo<HashCase>& row) { return std::string(row.param.name); });

// Quoted for sh.
std::string Quoted(const std::string& s)
{
    std::string q(1, '\'');
    for (char c : s) {
        if (c == '\'')
            q.append("'\\''");
        else
            q.push_back(c);
    }
    q.push_back('\'');
    return q;
}

TEST_F(ExportCli, StreamsTheLunToAPipeInOrder)
{
    Generate(sample::HealthyGroup(5, {6}));
    const sample::LunOut& lun = manifest.luns[0];
    const std::string map = dir.file("lun.map"), status = dir.file("status"), err = dir.file("err");
    // The export's own status, from the left of a pipe.
    auto piped = [&](const std::string& extra, const std::string& reader) {
        std::string cmd = "{";
        auto word = [&cmd](const std::string& w) {
            cmd.push_back(' ');
            cmd += Quoted(w);
        };
        word(CORVANE_CLI);
        word("export");
        for (const auto& src : manifest.Sources())
            word(src);
        for (const char* a : {"--lun", "0:0", "--to", "-", "--map"})
            word(a);
        word(map);
        cmd += extra;
        cmd += " 2>";
        word(err);
        cmd += "; echo $? >";
        word(status);
        cmd += "; } | ";
        cmd += reader;
        std::string out;
        Shell(cmd, out);
        return out;
    };
    const std::string sum = piped(" --hash sha256 --json", "sha256sum");
    EXPECT_EQ(Slurp(status), "0\n") << Slurp(err);
    EXPECT_EQ(sum.substr(0, sum.find(' ')), lun.sha256);
    // The JSON went to stderr, the hash came from the stream.
    const std::string text = Slurp(err);
    ASSERT_NE(text.find('{'), std::string::npos) << text;
    const nlohmann::json j = nlohmann::json::parse(text.substr(text.find('{')));
    EXPECT_EQ(j["target"], "-");
    EXPECT_EQ(j["hash"]["value"], lun.sha256);
    EXPECT_EQ(j["status"], 0);
    RescueMap m;
    std::string error;
    ASSERT_TRUE(RescueMap::Parse(Slurp(map), m, error)) << error;
    EXPECT_EQ(m.Total('+'), lun.bytes);
    EXPECT_NE(Slurp(map).find("# corvane sha256 " + lun.sha256), std::string::npos);

    // A reader that goes away: a write failure naming the target, the map saved.
    piped(" --restart", "head -c 4096 >/dev/null");
    EXPECT_EQ(Slurp(status), "8\n") << Slurp(err);
    EXPECT_NE(Slurp(err).find("standard output at 0x"), std::string::npos) << Slurp(err);
    EXPECT_NE(Slurp(err).find("Broken pipe"), std::string::npos) << Slurp(err);
    ASSERT_TRUE(RescueMap::Parse(Slurp(map), m, error)) << error;
    EXPECT_LT(m.Total('+'), lun.bytes);
    EXPECT_EQ(Slurp(map).find("# corvane sha256"), std::string::npos);
}

TEST_F(ExportCli, RetryBadThroughARealMemberOnceItsFaultIsGone)
{
    if (!NbdMember::Available())
        GTEST_SKIP() << NbdMember::Unavailable();
    // Two data positions of stripe 2 fail with EIO at the same place: lost,
    // until the same member paths are served without the bad blocks.
    sample::GroupPlan groupPlan = sample::HealthyGroup(5, {6});
    groupPlan.luns[0].faults.push_back({2, 0, 0x10000, 0x20000, sample::FaultKind::Unreadable});
    groupPlan.luns[0].faults.push_back({2, 1, 0x10000, 0x20000, sample::FaultKind::Unreadable});
    Generate(groupPlan);
    const sample::LunOut& lun = manifest.luns[0];
    ASSERT_GT(lun.lostBytes, 0u);
    const std::string out = dir.file("out.img"), map = dir.file("lun.map");
    std::vector<uint64_t> before;
    for (const auto& m : manifest.members)
        before.push_back(Fingerprint(m.path));
    auto run = [&](bool healed, const std::vector<std::string>& extra) {
        std::vector<std::unique_ptr<NbdMember>> served;
        std::vector<std::string> args{"export"};
        for (const auto& m : manifest.members) {
            if (m.badMap.empty()) {
                args.push_back(m.path);
                continue;
            }
            const std::string good = m.badMap + ".healed";
            char whole[96];
            std::snprintf(whole, sizeof whole, "0 +\n0 0x%llX +\n",
                          static_cast<unsigned long long>(FileSize(m.path)));
            WriteFile(good, std::vector<uint8_t>(whole, whole + std::strlen(whole)));
            const std::string mnt = dir.file("mnt" + std::to_string(served.size()));
            served.push_back(std::make_unique<NbdMember>(m.path, healed ? good : m.badMap,
                                                         NbdMemberOptions{.mountDir = mnt}));
            args.push_back(served.back()->Path());
        }
        for (const std::string& a : {std::string("--lun"), std::string("0:0"), std::string("--to"), out,
                                     std::string("--map"), map})
            args.push_back(a);
        args.insert(args.end(), extra.begin(), extra.end());
        CliRun cli(args, dir.file("stdout"), dir.file("stderr"));
        return cli.Wait();
    };
    auto total = [&](char status) {
        RescueMap m;
        std::string error;
        EXPECT_TRUE(RescueMap::Parse(Slurp(map), m, error)) << error;
        return m.Total(status);
    };
    ASSERT_EQ(run(false, {}), 0) << Stderr();
    EXPECT_EQ(total('-'), lun.lostBytes);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.exportSha256);
    ASSERT_EQ(run(true, {"--retry-bad"}), 0) << Stderr();
    EXPECT_NE(Stdout().find("read again (--retry-bad):  1"), std::string::npos) << Stdout();
    EXPECT_EQ(total('-'), 0u);
    EXPECT_EQ(total('+'), lun.bytes);
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.sha256);
    for (size_t i = 0; i < manifest.members.size(); ++i)
        EXPECT_EQ(Fingerprint(manifest.members[i].path), before[i]) << manifest.members[i].path;
}

// A small tmpfs of our own, unmounted however the test ends.
class SmallTmpfs {
public:
    SmallTmpfs(const std::string& dir, const char* size) : m_dir(dir)
    {
        std::filesystem::create_directory(dir);
        m_mounted = Shell("mount -t tmpfs -o size=" + std::string(size) + " corvane-test " + Quoted(dir) + " 2>&1",
                          m_why);
    }
    ~SmallTmpfs()
    {
        std::string out;
        if (m_mounted)
            Shell("umount " + Quoted(m_dir) + " 2>&1", out);
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;
    bool Mounted() const { return m_mounted; }
    const std::string& Why() const { return m_why; }
    // Takes what is left, so the next write there fails with ENOSPC.
    void Fill() const
    {
        const int fd = ::open((m_dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        std::vector<char> block(512, 'x');
        while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
        }
        if (fd >= 0)
            ::close(fd);
    }

private:
    std::string m_dir, m_why;
    bool m_mounted = false;
};

TEST_F(ExportCli, AFullDiskWhileSavingTheMapKeepsThePreviousMap)
{
    Generate(sample::HealthyGroup(5, {4}));
    const sample::LunOut& lun = manifest.luns[0];
    SmallTmpfs small(dir.file("small"), "256k");
    if (!small.Mounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << small.Why();
    const std::string out = dir.file("out.img"), map = dir.file("small/lun.map");
    ASSERT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map}), 0) << Stderr();
    const std::string previous = Slurp(map);
    small.Fill();
    EXPECT_EQ(Run({"--lun", "0:0", "--to", out, "--map", map, "--restart", "--json"}), 0) << Stderr();
    EXPECT_NE(Stderr().find("No space left on device; the mapfile on disk is the previous one"), std::string::npos)
        << Stderr();
    const nlohmann::json j = nlohmann::json::parse(Stdout());
    EXPECT_EQ(j["warnings"].size(), 1u) << j["warnings"];
    EXPECT_EQ(Slurp(map), previous);
    EXPECT_FALSE(std::filesystem::exists(map + ".tmp"));
    EXPECT_EQ(sample::Sha256OfFile(out, 0, lun.bytes), lun.sha256);
}

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
    {
        // A refusal names the path in UTF-8 too.
        std::vector<std::string> refused = args;
        refused.insert(refused.end(), {"--map", dir.file("\xB5\xBC\xB3\xF6/lun.map")});
        CliRun ex(refused, dir.file("stdout"), dir.file("stderr"), "zh_CN.GBK");
        ASSERT_EQ(ex.Wait(), 64) << Stderr();
        const nlohmann::json r = nlohmann::json::parse(Stdout());
        EXPECT_NE(r["error"].get<std::string>().find("导出/lun.map"), std::string::npos) << r["error"];
    }
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
    for (const char* row : {"  64 ", "  65 ", "  66 ", "  69 ", "  70 ", "  18 ", "130/143"})
        EXPECT_NE(Stdout().find(row), std::string::npos) << row;
}


// --- corvane-cli mount -----------------------------------------------------

// The LUNs served read-only through FUSE. Every test unmounts whatever it
// mounted, also when it fails.
class MountCli : public ExportCli {
protected:
    std::string mnt;

    void SetUp() override
    {
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "mounting needs /dev/fuse: " << std::strerror(errno);
        mnt = dir.file("mnt");
        std::filesystem::create_directory(mnt);
    }
    void TearDown() override { Unmount(); }

    void Unmount()
    {
        if (mnt.empty() || !NbdMember::IsMountPoint(mnt))
            return;
        std::string out;
        EXPECT_TRUE(Shell("fusermount3 -u '" + mnt + "' 2>&1", out)) << out;
        EXPECT_FALSE(NbdMember::IsMountPoint(mnt));
    }
    std::vector<std::string> MountArgs(const std::vector<std::string>& extra,
                                       const std::vector<std::string>& sources = {}) const
    {
        std::vector<std::string> args{"mount"};
        for (const auto& src : sources.empty() ? manifest.Sources() : sources)
            args.push_back(src);
        args.push_back(mnt);
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // In the background: the mount is up once the command has returned.
    int Mount(const std::vector<std::string>& extra = {}, const std::vector<std::string>& sources = {})
    {
        CliRun run(MountArgs(extra, sources), dir.file("stdout"), dir.file("stderr"));
        return run.Wait();
    }
    std::string LunFile(size_t i) const
    {
        return mnt + "/lun-" + std::to_string(manifest.luns[i].group) + "-" + std::to_string(manifest.luns[i].id) +
               ".img";
    }
    // errno of a 4 KiB read at offset (0: it read whole).
    static int ReadError(const std::string& path, uint64_t offset)
    {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0)
            return errno;
        std::vector<uint8_t> page(4096);
        const ssize_t n = ::pread(fd, page.data(), page.size(), static_cast<off_t>(offset));
        const int err = n < 0 ? errno : n == 4096 ? 0 : -1;
        ::close(fd);
        return err;
    }
};

TEST_F(MountCli, ADegradedGroupReadsAsItsExportAndNothingCanBeWritten)
{
    sample::GroupPlan g = sample::HealthyGroup(5, {3, 5});
    g.members[2].present = false;
    Generate(g);
    ASSERT_EQ(Mount(), 0) << Stderr();
    ASSERT_TRUE(NbdMember::IsMountPoint(mnt));
    EXPECT_NE(Stdout().find("analysis.json"), std::string::npos) << Stdout();
    for (size_t i = 0; i < manifest.luns.size(); ++i) {
        ASSERT_GT(manifest.luns[i].rebuiltBytes, 0u);
        EXPECT_EQ(FileSize(LunFile(i)), manifest.luns[i].bytes);
        EXPECT_EQ(sample::Sha256OfFile(LunFile(i), 0, manifest.luns[i].bytes), manifest.luns[i].exportSha256);
        EXPECT_EQ(manifest.luns[i].exportSha256, manifest.luns[i].sha256);
    }
    std::vector<std::string> args{"analyze", "--json"};
    for (const auto& src : manifest.Sources())
        args.push_back(src);
    CliRun json(args, dir.file("json"), dir.file("stderr"));
    ASSERT_EQ(json.Wait(), 0);
    EXPECT_EQ(Slurp(mnt + "/analysis.json"), Slurp(dir.file("json")));

    for (int flags : {O_WRONLY, O_RDWR, O_RDONLY | O_TRUNC, O_WRONLY | O_CREAT}) {
        const std::string path = flags & O_CREAT ? mnt + "/new.img" : LunFile(0);
        const int fd = ::open(path.c_str(), flags, 0644);
        EXPECT_EQ(fd, -1) << "flags " << flags;
        EXPECT_EQ(errno, EROFS) << "flags " << flags;
        if (fd >= 0)
            ::close(fd);
    }
    EXPECT_NE(::mkdir((mnt + "/d").c_str(), 0755), 0);
    EXPECT_EQ(errno, EROFS);
    Unmount();
}

TEST_F(MountCli, LostBytesFailWithEioOrReadAsZerosWithZeroFill)
{
    sample::GroupPlan g = sample::HealthyGroup(6, {24});
    g.members[2].present = false;
    g.members[4].present = false;
    Generate(g);
    const sample::LunOut& lun = manifest.luns[0];
    ASSERT_FALSE(lun.zeroRanges.empty());
    const auto [lostAt, lostLength] = lun.zeroRanges.front();
    // A readable page: before the first lost range, or after it.
    const uint64_t goodAt = lostAt >= 4096 ? lostAt - 4096 : lostAt + lostLength;
    {
        // In the foreground: up until SIGINT, which unmounts.
        CliRun run(MountArgs({"-f"}), dir.file("stdout"), dir.file("stderr"));
        for (int i = 0; i < 600 && !NbdMember::IsMountPoint(mnt); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(NbdMember::IsMountPoint(mnt)) << Stderr();
        EXPECT_EQ(ReadError(LunFile(0), lostAt), EIO);
        EXPECT_EQ(ReadError(LunFile(0), lostAt + lostLength - 4096), EIO);
        EXPECT_EQ(ReadError(LunFile(0), goodAt), 0);
        ::kill(run.pid(), SIGINT);
        EXPECT_EQ(run.Wait(), 0) << Stderr();
        EXPECT_FALSE(NbdMember::IsMountPoint(mnt));
        EXPECT_NE(Stderr().find("are lost"), std::string::npos) << Stderr();
    }
    ASSERT_EQ(Mount({"--zero-fill", "--cache-mib", "1"}), 0) << Stderr();
    EXPECT_EQ(sample::Sha256OfFile(LunFile(0), 0, lun.bytes), lun.exportSha256);
    EXPECT_EQ(ReadRange(LunFile(0), lostAt, lostLength), std::vector<uint8_t>(lostLength, 0));
}

TEST_F(MountCli, RefusesMountPointsThatAreMissingNotFoldersNotEmptyOrMountedAlready)
{
    Generate(sample::HealthyGroup(5, {1}));
    const std::string folder = mnt;
    WriteFile(dir.file("file"), {'x'});
    std::filesystem::create_directory(dir.file("full"));
    WriteFile(dir.file("full/keep"), {'x'});
    ASSERT_EQ(Mount(), 0) << Stderr();
    const struct {
        std::string path;
        const char* says;
    } rows[] = {{dir.file("none"), "No such file or directory"},
                {dir.file("file"), "is not a folder"},
                {dir.file("full"), "is not empty"},
                {folder, "is a mount point already"}};
    for (const auto& row : rows) {
        mnt = row.path;
        EXPECT_EQ(Mount(), 64) << row.path;
        EXPECT_NE(Stderr().find(row.path), std::string::npos) << Stderr();
        EXPECT_NE(Stderr().find(row.says), std::string::npos) << Stderr();
    }
    EXPECT_EQ(Slurp(dir.file("full/keep")), "x");
    mnt = folder;
    EXPECT_EQ(sample::Sha256OfFile(LunFile(0), 0, manifest.luns[0].bytes), manifest.luns[0].sha256)
        << "the first mount is still served";
}

TEST_F(MountCli, LunServesOnlyTheLunsNamedAndAnExclusionTwoShortIsAWarning)
{
    Generate(sample::HealthyGroup(5, {1, 2}));
    const auto name = [&](size_t i) {
        return std::to_string(manifest.luns[i].group) + ":" + std::to_string(manifest.luns[i].id);
    };
    const std::string first = name(0), second = name(1);
    const std::string src0 = manifest.members[0].path, src1 = manifest.members[1].path;
    const struct {
        const char* name;
        std::vector<std::string> extra;
        int status;
        std::vector<size_t> served; // LUN indexes whose files are there
        const char* says;           // on stderr ("" = anything)
    } rows[] = {
        {"one LUN", {"--lun", second}, 0, {1}, ""},
        {"twice the same and the other", {"--lun", second, "--lun", second, "--lun", first}, 0, {0, 1}, ""},
        {"no such LUN", {"--lun", "7:9"}, 65, {}, "no LUN 7:9 in this disk group"},
        {"not GROUP:ID", {"--lun", "x"}, 64, {}, "--lun wants GROUP:ID"},
        {"two excluded", {"--lun", second, "--exclude", src0, "--exclude", src1}, 0, {1}, "warning: LUN "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Mount(row.extra), row.status) << Stderr();
        EXPECT_NE(Stderr().find(row.says), std::string::npos) << Stderr();
        EXPECT_EQ(NbdMember::IsMountPoint(mnt), row.status == 0);
        if (row.status == 0) {
            size_t files = 0;
            for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(mnt))
                ++files;
            EXPECT_EQ(files, row.served.size() + 1) << "and analysis.json";
            for (size_t i : row.served)
                EXPECT_EQ(FileSize(LunFile(i)), manifest.luns[i].bytes);
        }
        Unmount();
    }
    // The warning was no refusal: what reads still reads, the rest fails.
    EXPECT_NE(Stderr().find("fail with EIO"), std::string::npos) << Stderr();
}

TEST_F(MountCli, AMemberThatVanishesWhileMountedTurnsUnreadableAndTheMountStays)
{
    if (!NbdMember::Available())
        GTEST_SKIP() << NbdMember::Unavailable();
    sample::GroupPlan g = sample::HealthyGroup(5, {4});
    g.members[4].present = false; // so parity cannot cover the vanished one
    Generate(g);
    const sample::MemberOut& v = manifest.members[1];
    const std::string map = dir.file("whole.map");
    const std::string t = "0x0  +  1\n0x0  " + std::to_string(FileSize(v.path)) + "  +\n";
    WriteFile(map, std::vector<uint8_t>(t.begin(), t.end()));
    NbdMember served(v.path, map, {.mountDir = dir.file("nbd")});
    std::vector<std::string> sources;
    for (const auto& m : manifest.members)
        if (m.present)
            sources.push_back(&m == &v ? served.Path() : m.path);
    ASSERT_EQ(Mount({}, sources), 0) << Stderr();
    served.Vanish();
    // Whole pages lost where both members' chunks lie; the file system,
    // its listing and analysis.json stay.
    const int fd = ::open(LunFile(0).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> buf(kChunk);
    uint64_t failed = 0, read = 0;
    for (uint64_t at = 0; at < manifest.luns[0].bytes; at += kChunk) {
        const ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
        if (n < 0) {
            EXPECT_EQ(errno, EIO);
            ++failed;
        } else {
            read += static_cast<uint64_t>(n);
        }
    }
    ::close(fd);
    EXPECT_GT(failed, 0u);
    EXPECT_GT(read, 0u);
    EXPECT_TRUE(NbdMember::IsMountPoint(mnt));
    EXPECT_NE(Slurp(mnt + "/analysis.json").find("\"luns\""), std::string::npos);
    Unmount();
}

TEST_F(MountCli, AnExt4PartitionOfTheLunMountsThroughALoopDeviceAndReadsBack)
{
    std::string out;
    const std::string path = "PATH=$PATH:/usr/sbin:/sbin ";
    for (const char* tool : {"sfdisk", "mkfs.ext4", "mkfs.vfat", "losetup", "mount", "umount"})
        if (!Shell(path + "command -v " + tool + " >/dev/null", out))
            GTEST_SKIP() << tool << " is missing (scripts/install-deps test installs fdisk, e2fsprogs, dosfstools)";
    if (!Shell(path + "losetup -f >/dev/null 2>&1", out))
        GTEST_SKIP() << "no loop device can be set up here (needs root and /dev/loop-control)";
    // The LUN holds an MBR with an ext4 partition (a file in it) and a FAT one.
    const std::string img = dir.file("lun.img"), files = dir.file("files");
    std::filesystem::create_directory(files);
    const std::string hello = "read back through the stripes\n";
    WriteFile(files + "/hello.txt", std::vector<uint8_t>(hello.begin(), hello.end()));
    ASSERT_TRUE(Shell(path + "sh -c 'truncate -s 48M " + img +
                          " && printf \"label: dos\\nstart=2048, size=30720, type=83\\nstart=34816, size=20480, "
                          "type=c\\n\" | sfdisk -q " + img + " && mkfs.ext4 -q -F -L ROOTFS -d " + files +
                          " -E offset=1048576 " + img + " 15M && mkfs.vfat -n DATAVOL --offset 34816 " + img +
                          " 10240 >/dev/null' 2>&1",
                      out))
        << out;
    sample::GroupPlan g = sample::HealthyGroup(6, {1});
    g.luns[0].dataFile = img;
    g.members[2].present = false; // read through parity
    Generate(g);
    ASSERT_EQ(Mount(), 0) << Stderr();
    const std::string json = Slurp(mnt + "/analysis.json");
    EXPECT_NE(json.find("\"label\": \"ROOTFS\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"label\": \"DATAVOL\""), std::string::npos) << json;
    EXPECT_EQ(sample::Sha256OfFile(LunFile(0), 0, manifest.luns[0].bytes), manifest.luns[0].sha256);

    // losetup -r of the ext4 partition, mount -o ro; detached and unmounted
    // whatever happens.
    std::string loop;
    ASSERT_TRUE(Shell(path + "losetup -r -f --show -o 1048576 --sizelimit 15728640 '" + LunFile(0) + "'", loop))
        << loop;
    loop.erase(loop.find_last_not_of("\n") + 1);
    const std::string ext4 = dir.file("ext4");
    std::filesystem::create_directory(ext4);
    struct Undo {
        std::string cmd;
        ~Undo()
        {
            std::string ignored;
            Shell(cmd, ignored);
        }
    } detach{path + "losetup -d " + loop + " 2>&1"}, unmount{path + "umount '" + ext4 + "' 2>/dev/null"};
    ASSERT_TRUE(Shell(path + "mount -o ro " + loop + " '" + ext4 + "' 2>&1", out)) << out;
    EXPECT_EQ(Slurp(ext4 + "/hello.txt"), hello);
}

} // namespace
} // namespace corvane::test
