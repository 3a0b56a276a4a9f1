// A read-only FUSE file system over the LUNs of an analysed disk group:
// one file per LUN, lun-GROUP-ID.img, of the size an export writes, read on
// demand through LunReader, and analysis.json. Nothing is copied first and
// nothing can be written: every write and every open for writing fails
// with EROFS.
#pragma once

#include "engine/Context.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

struct MountOptions {
    // Lost LUN bytes (two or more positions unreadable) read as zeros
    // instead of failing the read with EIO.
    bool zeroFill = false;
    // Assembled chunks kept for repeated reads, shared by every LUN.
    uint64_t cacheBytes = 256ull << 20;
    // The text of analysis.json; empty: no such file.
    std::string analysisJson;
    // Where reads that failed or lost bytes are told (null: nowhere).
    FILE* log = nullptr;
};

// The file name of a LUN in the mount: "lun-GROUP-ID.img".
std::string LunFileName(const LunEntry& lun);

// Why a folder cannot be a mount point ("" when it can): it does not
// exist, is not a folder, is not empty, or is a mount point already.
std::string RefuseMountPoint(const std::string& path);

class LunMount {
public:
    // The LUNs to serve; ctx and its members must outlive the mount.
    LunMount(const EvaContext& ctx, const std::vector<const LunEntry*>& luns, MountOptions options);
    ~LunMount(); // unmounts when still mounted
    LunMount(const LunMount&) = delete;
    LunMount& operator=(const LunMount&) = delete;

    // Mounts the file system at path (RefuseMountPoint first). False with
    // error saying why.
    bool Mount(const std::string& path, std::string& error);
    // Detaches from the terminal once mounted, as a background mount does:
    // the calling process returns to the shell, its child serves. Call
    // after Mount, before Serve. False when it could not fork.
    static bool Daemonize();
    // Serves requests on several threads until the file system is
    // unmounted (fusermount3 -u, Stop, or with handleSignals SIGINT,
    // SIGTERM or SIGHUP), then unmounts. Returns 0, or 1 when serving failed.
    int Serve(bool handleSignals);
    // From any thread: ends Serve and unmounts.
    void Stop();

    const std::string& MountPoint() const { return m_mountPoint; }
    // The files, in directory order.
    std::vector<std::string> FileNames() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
    std::string m_mountPoint;
};

} // namespace corvane
