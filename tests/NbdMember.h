// A member with real read errors, for tests: nbdkit serves an image through
// its ddrescue filter (every block its mapfile does not mark '+' fails with
// EIO) and nbdfuse mounts that as a read-only file. Vanish() kills the
// server as a disk that drops off the bus. Whatever the object started it
// stops: the destructor unmounts (fusermount3 -u) and reaps its children,
// also when the test fails; the children get SIGTERM should the test
// process die first (nbdfuse then unmounts itself).
//
//   if (!test::NbdMember::Available())
//       GTEST_SKIP() << test::NbdMember::Unavailable();
//   test::NbdMember member(image, mapfile, {.mountDir = dir.file("mnt0")});
//   ... open member.Path() read-only ...
//
// The kernel may keep pages already read in its cache, so after Vanish()
// only reads of pages not read before are certain to fail.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

struct NbdMemberOptions {
    // Non-zero: nbdkit's rate filter caps the member at this many bits per
    // second (members that stream like separate disks).
    uint64_t rateBitsPerSecond = 0;
    // The directory to mount on (created when absent, removed again if so);
    // empty: one inside the object's own scratch directory.
    std::string mountDir;
};

class NbdMember {
public:
    using Options = NbdMemberOptions;

    // Empty when members can be served here; otherwise what is missing.
    static std::string Unavailable()
    {
        std::string missing;
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            missing = "/dev/fuse (" + std::string(std::strerror(errno)) + ")";
        for (const char* tool : {"nbdkit", "nbdfuse", "fusermount3"})
            if (FindProgram(tool).empty())
                missing += (missing.empty() ? "" : ", ") + std::string(tool);
        if (missing.empty())
            return {};
        return "serving members with real read errors needs " + missing +
               " (scripts/install-deps installs nbdkit, libnbd-bin and fuse3)";
    }
    static bool Available() { return Unavailable().empty(); }

    // Serves image (read-only) with mapfile's non-'+' blocks failing, at
    // MOUNTDIR/<the image's file name>. Throws std::runtime_error, with the
    // servers' own messages, when either does not come up.
    NbdMember(const std::string& image, const std::string& mapfile, const Options& options = {})
    {
        namespace fs = std::filesystem;
        std::string scratch = (fs::temp_directory_path() / "corvane-nbd-XXXXXX").string();
        if (!::mkdtemp(scratch.data()))
            throw std::runtime_error("NbdMember: mkdtemp: " + std::string(std::strerror(errno)));
        m_scratch = scratch;
        try {
            Start(fs::absolute(image).string(), fs::absolute(mapfile).string(), options);
        } catch (...) {
            Stop();
            throw;
        }
    }

    ~NbdMember() { Stop(); }
    NbdMember(const NbdMember&) = delete;
    NbdMember& operator=(const NbdMember&) = delete;

    // The served file.
    const std::string& Path() const { return m_path; }
    const std::string& MountDir() const { return m_mountDir; }
    // The nbdkit process; 0 once it has vanished.
    pid_t ServerPid() const { return m_server; }

    // Kills the nbdkit this object started (by its pid): reads of Path()
    // fail from then on, as on a member whose server or disk went away.
    void Vanish()
    {
        if (m_server <= 0)
            return;
        ::kill(m_server, SIGKILL);
        Reap(m_server, std::chrono::seconds(10));
        m_server = 0;
    }

    // dir is a mount point in this process's view.
    static bool IsMountPoint(const std::string& dir)
    {
        // Only the parent is resolved: a mount whose nbdfuse has gone
        // answers every look at its root with ENOTCONN, and must still be
        // found to be unmounted.
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path p = fs::absolute(dir, ec).lexically_normal();
        if (!p.has_filename())
            p = p.parent_path();
        const std::string want = (fs::weakly_canonical(p.parent_path(), ec) / p.filename()).string();
        std::ifstream info("/proc/self/mountinfo");
        std::string line;
        while (std::getline(info, line)) {
            // Fields: id, parent, major:minor, root, mount point, ...
            std::istringstream fields(line);
            std::string id, parent, dev, root, point;
            fields >> id >> parent >> dev >> root >> point;
            if (Unescape(point) == want)
                return true;
        }
        return false;
    }

private:
    static std::string FindProgram(const std::string& name)
    {
        const char* path = std::getenv("PATH");
        std::istringstream dirs(path ? path : "/usr/bin:/bin");
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            if (dir.empty())
                continue;
            const std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        return {};
    }

    // mountinfo writes space, tab, newline and backslash as \ooo.
    static std::string Unescape(const std::string& s)
    {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\\' && i + 3 < s.size()) {
                const std::string oct = s.substr(i + 1, 3);
                if (oct.find_first_not_of("01234567") == std::string::npos) {
                    out += static_cast<char>(std::stoi(oct, nullptr, 8));
                    i += 3;
                    continue;
                }
            }
            out += s[i];
        }
        return out;
    }

    static std::string ReadLog(const std::string& path)
    {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        std::string text = s.str();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text.empty() ? "(no output)" : text;
    }

    // Starts program with args, its output in logPath. Everything the child
    // needs is prepared before fork, so the child only makes system calls.
    static pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& logPath)
    {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("NbdMember: fork: " + std::string(std::strerror(errno)));
        if (pid == 0) {
            // Gone with the test process, even when it is killed.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(127);
            const int devnull = ::open("/dev/null", O_RDONLY);
            const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (devnull < 0 || log < 0 || ::dup2(devnull, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0)
                ::_exit(127);
            ::close_range(3, ~0U, 0);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // Waits up to timeout for pid to end; true when it has (and is reaped).
    static bool Reap(pid_t pid, std::chrono::milliseconds timeout)
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno == ECHILD))
                return true;
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Ends pid: SIGTERM, then SIGKILL if it lingers.
    static void End(pid_t pid)
    {
        ::kill(pid, SIGTERM);
        if (!Reap(pid, std::chrono::seconds(5))) {
            ::kill(pid, SIGKILL);
            Reap(pid, std::chrono::seconds(5));
        }
    }

    // Waits until the program wrote its pid file (it is then serving).
    static void AwaitReady(pid_t pid, const std::string& pidFile, const std::string& what, const std::string& log)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            struct stat st {};
            if (::stat(pidFile.c_str(), &st) == 0 && st.st_size > 0)
                return;
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                throw std::runtime_error("NbdMember: " + what + " did not start: " + ReadLog(log));
            if (std::chrono::steady_clock::now() >= until)
                throw std::runtime_error("NbdMember: " + what + " not ready after 20 s: " + ReadLog(log));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    static bool RunQuietly(const std::vector<std::string>& command, const std::string& log)
    {
        const pid_t pid = Spawn(command[0], {command.begin() + 1, command.end()}, log);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    void Start(const std::string& image, const std::string& mapfile, const Options& options)
    {
        namespace fs = std::filesystem;
        const std::string nbdkit = FindProgram("nbdkit"), nbdfuse = FindProgram("nbdfuse");
        m_fusermount = FindProgram("fusermount3");
        if (nbdkit.empty() || nbdfuse.empty() || m_fusermount.empty() || !fs::is_regular_file(image) ||
            !fs::is_regular_file(mapfile))
            throw std::runtime_error("NbdMember: cannot serve " + image + " with " + mapfile + ": " +
                                     (Available() ? "no such file" : Unavailable()));
        m_mountDir = options.mountDir.empty() ? m_scratch + "/mnt" : fs::absolute(options.mountDir).string();
        if (!fs::exists(m_mountDir)) {
            fs::create_directories(m_mountDir);
            m_madeMountDir = true;
        }
        m_path = m_mountDir + "/" + fs::path(image).filename().string();
        m_log = m_scratch + "/log";

        const std::string socket = m_scratch + "/nbd.sock";
        const std::string serverPid = m_scratch + "/nbdkit.pid";
        std::vector<std::string> server = {"-f", "-r", "-U", socket, "-P", serverPid};
        if (options.rateBitsPerSecond != 0)
            server.push_back("--filter=rate");
        server.insert(server.end(), {"--filter=ddrescue", "file", "file=" + image, "ddrescue-mapfile=" + mapfile});
        if (options.rateBitsPerSecond != 0)
            server.push_back("rate=" + std::to_string(options.rateBitsPerSecond));
        m_server = Spawn(nbdkit, server, m_log);
        AwaitReady(m_server, serverPid, "nbdkit", m_log);

        const std::string fusePid = m_scratch + "/nbdfuse.pid";
        m_fuse = Spawn(nbdfuse, {"-r", "-P", fusePid, m_path, "--unix", socket}, m_log);
        AwaitReady(m_fuse, fusePid, "nbdfuse", m_log);
        if (!fs::exists(m_path))
            throw std::runtime_error("NbdMember: nbdfuse is up but " + m_path + " is missing: " + ReadLog(m_log));
    }

    void Stop() noexcept
    {
        try {
            if (m_fuse > 0) {
                // nbdfuse leaves once its mount is gone. A test that still
                // holds the file open makes the plain unmount fail: then the
                // mount is detached lazily and nbdfuse told to go (it would
                // wait for the last close), which fails the open files.
                const bool unmounted =
                    !IsMountPoint(m_mountDir) || RunQuietly({m_fusermount, "-u", m_mountDir}, m_log);
                if (!unmounted)
                    RunQuietly({m_fusermount, "-u", "-z", m_mountDir}, m_log);
                if (!Reap(m_fuse, std::chrono::seconds(unmounted ? 10 : 0)))
                    End(m_fuse);
                m_fuse = 0;
            }
            if (m_server > 0) {
                End(m_server);
                m_server = 0;
            }
            std::error_code ec;
            if (!m_mountDir.empty() && !IsMountPoint(m_mountDir) && m_madeMountDir)
                std::filesystem::remove(m_mountDir, ec);
            if (!m_scratch.empty() && !IsMountPoint(m_mountDir)) {
                for (const char* name : {"nbd.sock", "nbdkit.pid", "nbdfuse.pid", "log"})
                    std::filesystem::remove(m_scratch + "/" + name, ec);
                std::filesystem::remove(m_scratch, ec);
            }
        } catch (...) {
        }
    }

    std::string m_scratch;
    std::string m_mountDir;
    bool m_madeMountDir = false;
    std::string m_path;
    std::string m_log;
    std::string m_fusermount;
    pid_t m_server = 0;
    pid_t m_fuse = 0;
};

} // namespace corvane::test
