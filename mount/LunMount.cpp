#define FUSE_USE_VERSION 31
#include "mount/LunMount.h"

#include "engine/Address.h"
#include "export/ExportTarget.h"
#include "export/LunReader.h"

#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

// The device ("major:minor") mounted at real, or "" when nothing is.
std::string MountedDevice(const std::string& real)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line, found;
    while (std::getline(in, line)) {
        // id parent major:minor root mountpoint options ...
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if ((fields >> id >> parent >> device >> root >> point) && UnescapeMountField(point) == real)
            found = device; // the last one is on top
    }
    return found;
}

bool IsMountPoint(const std::string& real)
{
    return !MountedDevice(real).empty();
}

// The kernel reads ahead 128 KiB on a FUSE file: one request at a time,
// each a round trip. Several MiB keep requests of 1 MiB in flight, which
// reach every member at once. Only root may; others keep the default. The
// kernel sets it again when the file system starts (its INIT), so this
// waits for the first open.
void RaiseReadAhead(const std::string& device)
{
    if (device.empty())
        return;
    std::ofstream ra("/sys/class/bdi/" + device + "/read_ahead_kb");
    if (ra)
        ra << 4096 << std::endl;
}

} // namespace

std::string LunFileName(const LunEntry& lun)
{
    return "lun-" + std::to_string(lun.group) + "-" + std::to_string(lun.id) + ".img";
}

std::string RefuseMountPoint(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return "the mount point " + path + " cannot be used: " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "the mount point " + path + " is not a folder";
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real))
        return "the mount point " + path + " cannot be used: " + std::strerror(errno);
    if (IsMountPoint(real))
        return "the mount point " + path + " is a mount point already (unmount it first: fusermount3 -u " + path +
               ")";
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return "the mount point " + path + " cannot be read: " + std::strerror(errno);
    bool empty = true;
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    ::closedir(dir);
    if (!empty)
        return "the mount point " + path + " is not empty";
    return {};
}

struct LunMount::Impl {
    struct File {
        std::string name;
        std::unique_ptr<LunReader> reader; // null: the text below
        std::string text;
        uint64_t Size() const { return reader ? reader->Size() : text.size(); }
    };

    MountOptions options;
    std::vector<File> files;
    time_t mounted = std::time(nullptr);
    fuse* f = nullptr;
    std::mutex mountMutex;
    bool isMounted = false;
    std::string device; // major:minor of the mount
    std::once_flag readAhead;

    static Impl& Self() { return *static_cast<Impl*>(fuse_get_context()->private_data); }

    const File* Find(const char* path) const
    {
        if (path[0] != '/')
            return nullptr;
        for (const File& file : files)
            if (file.name == path + 1)
                return &file;
        return nullptr;
    }

    void Unmount()
    {
        std::lock_guard<std::mutex> lock(mountMutex);
        if (f && isMounted) {
            fuse_unmount(f);
            isMounted = false;
        }
    }

    // --- file system operations ---------------------------------------

    static void* Init(fuse_conn_info*, fuse_config* cfg)
    {
        // The files never change while mounted: the kernel may keep what
        // it read, and names and sizes for long.
        cfg->kernel_cache = 1;
        cfg->entry_timeout = 3600;
        cfg->attr_timeout = 3600;
        cfg->negative_timeout = 3600;
        return fuse_get_context()->private_data;
    }

    static int GetAttr(const char* path, struct stat* st, fuse_file_info*)
    {
        Impl& self = Self();
        std::memset(st, 0, sizeof *st);
        st->st_uid = ::getuid();
        st->st_gid = ::getgid();
        st->st_atime = st->st_mtime = st->st_ctime = self.mounted;
        if (std::strcmp(path, "/") == 0) {
            st->st_mode = S_IFDIR | 0555;
            st->st_nlink = 2;
            return 0;
        }
        const File* file = self.Find(path);
        if (!file)
            return -ENOENT;
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(file->Size());
        st->st_blksize = static_cast<blksize_t>(kChunkSize);
        st->st_blocks = static_cast<blkcnt_t>((file->Size() + 511) / 512);
        return 0;
    }

    static int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                       fuse_readdir_flags)
    {
        if (std::strcmp(path, "/") != 0)
            return -ENOTDIR;
        fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        for (const File& file : Self().files)
            fill(buf, file.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        return 0;
    }

    static int Open(const char* path, fuse_file_info* fi)
    {
        const File* file = Self().Find(path);
        if (!file)
            return -ENOENT;
        if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC))
            return -EROFS;
        fi->keep_cache = 1;
        std::call_once(Self().readAhead, [] { RaiseReadAhead(Self().device); });
        return 0;
    }

    static int Read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*)
    {
        Impl& self = Self();
        const File* file = self.Find(path);
        if (!file)
            return -ENOENT;
        const uint64_t total = file->Size();
        if (offset < 0)
            return -EINVAL;
        const uint64_t at = static_cast<uint64_t>(offset);
        if (at >= total)
            return 0;
        const uint64_t n = std::min<uint64_t>({uint64_t{size}, total - at, uint64_t{INT_MAX}});
        if (!file->reader) {
            std::memcpy(buf, file->text.data() + at, n);
            return static_cast<int>(n);
        }
        const LunReadResult r = file->reader->Read(at, buf, n);
        if (!r.ok) {
            if (self.options.log)
                std::fprintf(self.options.log, "%s: read at %s (+%llu) failed: %s\n", file->name.c_str(),
                             Hex(at).c_str(), static_cast<unsigned long long>(n), r.error.c_str());
            return -EIO;
        }
        if (!r.lost.Empty()) {
            if (self.options.log)
                for (const JFileHandle::Extent& e : r.lost)
                    std::fprintf(self.options.log, "%s: bytes %s (+%llu) are lost%s\n", file->name.c_str(),
                                 Hex(e.offset).c_str(), static_cast<unsigned long long>(e.length),
                                 self.options.zeroFill ? ", read as zeros" : "");
            if (!self.options.zeroFill)
                return -EIO;
        }
        return static_cast<int>(n);
    }

    static int StatFs(const char*, struct statvfs* st)
    {
        std::memset(st, 0, sizeof *st);
        st->f_bsize = st->f_frsize = 4096;
        uint64_t bytes = 0;
        for (const File& file : Self().files)
            bytes += file.Size();
        st->f_blocks = (bytes + 4095) / 4096;
        st->f_files = Self().files.size() + 1;
        st->f_namemax = 255;
        st->f_flag = ST_RDONLY;
        return 0;
    }

    // Everything that would change the file system.
    static int ReadOnly() { return -EROFS; }
    static int Write(const char*, const char*, size_t, off_t, fuse_file_info*) { return ReadOnly(); }
    static int Truncate(const char*, off_t, fuse_file_info*) { return ReadOnly(); }
    static int Create(const char*, mode_t, fuse_file_info*) { return ReadOnly(); }
    static int MkNod(const char*, mode_t, dev_t) { return ReadOnly(); }
    static int MkDir(const char*, mode_t) { return ReadOnly(); }
    static int Unlink(const char*) { return ReadOnly(); }
    static int Rename(const char*, const char*, unsigned) { return ReadOnly(); }
    static int Link(const char*, const char*) { return ReadOnly(); }
    static int Chmod(const char*, mode_t, fuse_file_info*) { return ReadOnly(); }
    static int Chown(const char*, uid_t, gid_t, fuse_file_info*) { return ReadOnly(); }
    static int Utimens(const char*, const timespec*, fuse_file_info*) { return ReadOnly(); }
    static int SetXattr(const char*, const char*, const char*, size_t, int) { return ReadOnly(); }
    static int RemoveXattr(const char*, const char*) { return ReadOnly(); }

    static fuse_operations Operations()
    {
        fuse_operations ops{};
        ops.init = Init;
        ops.getattr = GetAttr;
        ops.readdir = ReadDir;
        ops.open = Open;
        ops.read = Read;
        ops.statfs = StatFs;
        ops.write = Write;
        ops.truncate = Truncate;
        ops.create = Create;
        ops.mknod = MkNod;
        ops.mkdir = MkDir;
        ops.unlink = Unlink;
        ops.rmdir = Unlink;
        ops.rename = Rename;
        ops.link = Link;
        ops.symlink = Link;
        ops.chmod = Chmod;
        ops.chown = Chown;
        ops.utimens = Utimens;
        ops.setxattr = SetXattr;
        ops.removexattr = RemoveXattr;
        return ops;
    }
};

LunMount::LunMount(const EvaContext& ctx, const std::vector<const LunEntry*>& luns, MountOptions options)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->options = std::move(options);
    auto cache = std::make_shared<LunCache>(m_impl->options.cacheBytes);
    for (const LunEntry* lun : luns) {
        Impl::File file;
        file.name = LunFileName(*lun);
        LunReader::Options ro;
        ro.cache = cache;
        file.reader = std::make_unique<LunReader>(ctx, *lun, ro);
        m_impl->files.push_back(std::move(file));
    }
    if (!m_impl->options.analysisJson.empty()) {
        Impl::File file;
        file.name = "analysis.json";
        file.text = m_impl->options.analysisJson;
        m_impl->files.push_back(std::move(file));
    }
}

LunMount::~LunMount()
{
    m_impl->Unmount();
    if (m_impl->f)
        fuse_destroy(m_impl->f);
}

std::vector<std::string> LunMount::FileNames() const
{
    std::vector<std::string> out;
    for (const Impl::File& file : m_impl->files)
        out.push_back(file.name);
    return out;
}

bool LunMount::Mount(const std::string& path, std::string& error)
{
    if (m_impl->f) {
        error = "already mounted at " + m_mountPoint;
        return false;
    }
    error = RefuseMountPoint(path);
    if (!error.empty())
        return false;
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) {
        error = "the mount point " + path + " cannot be used: " + std::strerror(errno);
        return false;
    }
    // The server unmounts by this name after a daemon changed to "/".
    m_mountPoint = real;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        error = std::string("FUSE is not available here: /dev/fuse: ") + std::strerror(errno);
        return false;
    }
    const char* argv[] = {"corvane", "-o", "ro,fsname=corvane,subtype=corvane"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    const fuse_operations ops = Impl::Operations();
    m_impl->f = fuse_new(&args, &ops, sizeof ops, m_impl.get());
    fuse_opt_free_args(&args);
    if (!m_impl->f) {
        error = "cannot set up the FUSE file system";
        return false;
    }
    if (fuse_mount(m_impl->f, m_mountPoint.c_str()) != 0) {
        fuse_destroy(m_impl->f);
        m_impl->f = nullptr;
        error = "cannot mount at " + path + " (is fusermount3 installed, may this user mount?)";
        return false;
    }
    m_impl->device = MountedDevice(m_mountPoint);
    std::lock_guard<std::mutex> lock(m_impl->mountMutex);
    m_impl->isMounted = true;
    return true;
}

bool LunMount::Daemonize()
{
    return fuse_daemonize(0) == 0;
}

int LunMount::Serve(bool handleSignals)
{
    if (!m_impl->f)
        return 1;
    fuse_session* se = fuse_get_session(m_impl->f);
    if (handleSignals && fuse_set_signal_handlers(se) != 0)
        return 1;
    const int rc = fuse_loop_mt(m_impl->f, 0);
    if (handleSignals)
        fuse_remove_signal_handlers(se);
    m_impl->Unmount();
    // A signal ends the loop with its number; that is how -f stops.
    return rc < 0 ? 1 : 0;
}

void LunMount::Stop()
{
    if (!m_impl->f)
        return;
    fuse_exit(m_impl->f);
    // The serving threads wait for the kernel; unmounting wakes them.
    m_impl->Unmount();
}

} // namespace corvane
