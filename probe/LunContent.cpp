#include "probe/LunContent.h"

#include "disk/Extents.h"
#include "export/LunReader.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace corvane {

namespace {

// What is read of the LUN and of each partition: superblocks sit near the
// start (a VMFS volume's at 1 to 2 MiB, most within 64 KiB), RAID members'
// and a GPT backup near the end.
constexpr uint64_t kLunHead = 8ull << 20; // the first stripe
constexpr uint64_t kPartitionHead = 4ull << 20;
constexpr uint64_t kTail = 1ull << 20;
constexpr uint64_t kSector = 512;
constexpr size_t kMaxPartitions = 256; // probed for file systems; a garbage table may name more
constexpr unsigned kMaxChain = 256;    // extended boot records followed

uint64_t LE(const uint8_t* p, unsigned n)
{
    uint64_t v = 0;
    for (unsigned i = n; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

// Valid UTF-8 with control characters and broken sequences as '?': labels
// are whatever bytes the volume holds.
std::string CleanText(const char* s)
{
    std::string out;
    if (!s)
        return out;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    const size_t n = std::strlen(s);
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len != 0 && i + len <= n && !(len == 2 && c < 0xC2) && !(len == 4 && c > 0xF4);
        for (size_t k = 1; ok && k < len; ++k)
            ok = (p[i + k] & 0xC0) == 0x80;
        if (ok && len == 3) {
            const unsigned cp = (c & 0x0Fu) << 12 | (p[i + 1] & 0x3Fu) << 6;
            ok = cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (ok && len == 4) {
            const unsigned cp = (c & 0x07u) << 18 | (p[i + 1] & 0x3Fu) << 12;
            ok = cp >= 0x10000 && cp <= 0x10FFFF;
        }
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        if (len == 1 && (c < 0x20 || c == 0x7F))
            out += '?';
        else
            out.append(s + i, len);
        i += len;
    }
    return out;
}

std::string Hex(uint64_t v, int width)
{
    char b[24];
    std::snprintf(b, sizeof b, "0x%0*" PRIx64, width, v);
    return b;
}

// A memory file of the LUN's size holding the ranges read so far, zeros
// (holes) elsewhere: what libblkid is given to read.
class Image {
public:
    Image(uint64_t size, const LunRangeRead& read, LunContent& out) : m_size(size), m_read(read), m_out(out)
    {
        m_fd = ::memfd_create("corvane-lun-probe", MFD_CLOEXEC);
        if (m_fd < 0) // no memfd: an unnamed file in the temporary directory
            m_fd = ::open(std::filesystem::temp_directory_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            out.errors.push_back(std::string("cannot make a memory file for the probe: ") + std::strerror(errno));
            return;
        }
        if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
            ::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
            out.errors.push_back("cannot size the probe's memory file to " + std::to_string(size) +
                                 " bytes: " + std::strerror(errno));
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Image()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    int fd() const { return m_fd; }
    uint64_t size() const { return m_size; }

    // Brings [offset, offset + length) of the LUN in, clamped to its size.
    // Returns false when nothing new was read.
    bool Load(uint64_t offset, uint64_t length)
    {
        if (m_fd < 0 || offset >= m_size)
            return false;
        length = std::min(length, m_size - offset);
        const JFileHandle::ExtentSet missing = m_loaded.Complement(offset, length);
        if (missing.Empty())
            return false;
        constexpr uint64_t kPiece = 1ull << 20;
        std::vector<uint8_t> buf(kPiece);
        for (const auto& e : missing) {
            for (uint64_t at = e.offset; at < e.End(); at += kPiece) {
                const uint64_t n = std::min(kPiece, e.End() - at);
                uint64_t lost = 0;
                std::string error;
                std::fill_n(buf.begin(), n, uint8_t{0});
                if (!m_read(at, buf.data(), n, lost, error)) {
                    m_out.errors.push_back(error);
                    std::fill_n(buf.begin(), n, uint8_t{0});
                    lost = n;
                }
                m_out.bytesRead += n;
                m_out.lostBytes += std::min(lost, n);
                Store(at, buf.data(), n);
            }
            m_loaded.Add(e);
        }
        return true;
    }

    // Bytes already loaded (zeros where not).
    void Peek(uint64_t offset, uint8_t* out, size_t length) const
    {
        std::memset(out, 0, length);
        if (m_fd >= 0 && offset < m_size) {
            const ssize_t n = ::pread(m_fd, out, length, static_cast<off_t>(offset));
            (void)n; // a short read leaves zeros
        }
    }

private:
    // Only the pages that hold something are written, so the file stays
    // sparse over a LUN of zeros.
    void Store(uint64_t offset, const uint8_t* data, uint64_t length)
    {
        constexpr uint64_t kPage = 4096;
        for (uint64_t i = 0; i < length; i += kPage) {
            const uint64_t n = std::min(kPage, length - i);
            if (std::all_of(data + i, data + i + n, [](uint8_t b) { return b == 0; }))
                continue;
            if (::pwrite(m_fd, data + i, n, static_cast<off_t>(offset + i)) != static_cast<ssize_t>(n)) {
                m_out.errors.push_back("cannot fill the probe's memory file at " + std::to_string(offset + i) +
                                       ": " + std::strerror(errno));
                return;
            }
        }
    }

    uint64_t m_size;
    const LunRangeRead& m_read;
    LunContent& m_out;
    int m_fd = -1;
    JFileHandle::ExtentSet m_loaded;
};

// The reads of a region libblkid's superblock probe needs: its head and
// tail, and for an NTFS volume the MFT records it reads the label from.
void LoadRegion(Image& img, uint64_t start, uint64_t size, uint64_t head)
{
    img.Load(start, std::min(size, head));
    if (size > kTail)
        img.Load(start + size - kTail, kTail);
    uint8_t boot[kSector];
    img.Peek(start, boot, sizeof boot);
    if (std::memcmp(boot + 3, "NTFS    ", 8) != 0)
        return;
    const uint64_t bytesPerSector = LE(boot + 11, 2);
    const unsigned spc = boot[13];
    // Above 128 the cluster size is 2^(256 - n) sectors.
    const uint64_t sectors = spc <= 128 ? spc : (spc - 128 < 32 ? 1ull << (256 - spc) : 0);
    const uint64_t cluster = bytesPerSector * sectors;
    const auto perRecord = static_cast<int8_t>(boot[64]);
    const uint64_t record = perRecord > 0 ? cluster * static_cast<uint64_t>(perRecord)
                                          : (perRecord > -31 ? 1ull << -perRecord : 0);
    const uint64_t mft = LE(boot + 48, 8);
    if (cluster == 0 || record == 0 || record > (64u << 10) || mft > size / cluster)
        return;
    img.Load(start + mft * cluster, 4 * record); // records 0 to 3: $Volume is 3
}

bool IsExtendedType(uint8_t type)
{
    return type == 0x05 || type == 0x0f || type == 0x85;
}

// The extended boot records of an extended partition: each names the next
// relative to the partition's start. libblkid follows the same chain.
void LoadChain(Image& img, uint64_t start, uint64_t size)
{
    std::set<uint64_t> seen;
    uint64_t at = start;
    for (unsigned i = 0; i < kMaxChain && seen.insert(at).second; ++i) {
        img.Load(at, kSector);
        uint8_t ebr[kSector];
        img.Peek(at, ebr, sizeof ebr);
        if (ebr[510] != 0x55 || ebr[511] != 0xAA)
            return;
        bool next = false;
        for (const uint8_t* e = ebr + 446; e < ebr + 446 + 4 * 16; e += 16) {
            const uint8_t type = e[4];
            const uint64_t rel = LE(e + 8, 4) * kSector;
            if (IsExtendedType(type) && rel != 0 && rel < size) {
                at = start + rel;
                next = true;
                break;
            }
        }
        if (!next)
            return;
    }
}

class Probe {
public:
    Probe() : m_pr(blkid_new_probe()) {}
    ~Probe()
    {
        if (m_pr)
            blkid_free_probe(m_pr);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    blkid_probe get() const { return m_pr; }

    std::string Value(const char* name) const
    {
        const char* v = nullptr;
        return blkid_probe_lookup_value(m_pr, name, &v, nullptr) == 0 ? CleanText(v) : std::string();
    }

private:
    blkid_probe m_pr;
};

FileSystemInfo ProbeFileSystem(const Image& img, uint64_t start, uint64_t size, LunContent& out)
{
    FileSystemInfo fs;
    Probe pr;
    if (!pr.get() || blkid_probe_set_device(pr.get(), img.fd(), static_cast<blkid_loff_t>(start),
                                            static_cast<blkid_loff_t>(size)) != 0) {
        out.errors.push_back("libblkid cannot probe the range at " + std::to_string(start));
        return fs;
    }
    blkid_probe_enable_superblocks(pr.get(), 1);
    blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE |
                                                    BLKID_SUBLKS_VERSION);
    int rc = blkid_do_safeprobe(pr.get());
    if (rc == -2) { // more than one signature: the first one found, as blkid -p would not decide
        blkid_reset_probe(pr.get());
        rc = blkid_do_probe(pr.get());
    }
    if (rc != 0)
        return fs;
    fs.type = pr.Value("TYPE");
    fs.version = pr.Value("VERSION");
    fs.label = pr.Value("LABEL");
    fs.uuid = pr.Value("UUID");
    return fs;
}

void ProbeTable(const Image& img, LunContent& out)
{
    out.tableType.clear();
    out.tableId.clear();
    out.partitions.clear();
    Probe pr;
    if (!pr.get() || blkid_probe_set_device(pr.get(), img.fd(), 0, static_cast<blkid_loff_t>(img.size())) != 0) {
        out.errors.push_back("libblkid cannot probe the LUN");
        return;
    }
    blkid_probe_enable_superblocks(pr.get(), 0);
    blkid_probe_enable_partitions(pr.get(), 1);
    blkid_probe_set_partitions_flags(pr.get(), BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(pr.get());
    if (!list)
        return;
    if (blkid_parttable table = blkid_partlist_get_table(list)) {
        out.tableType = CleanText(blkid_parttable_get_type(table));
        out.tableId = CleanText(blkid_parttable_get_id(table));
    }
    const int n = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < n; ++i) {
        blkid_partition par = blkid_partlist_get_partition(list, i);
        if (!par)
            continue;
        const blkid_loff_t start = blkid_partition_get_start(par), size = blkid_partition_get_size(par);
        if (start < 0 || size < 0)
            continue;
        PartitionInfo p;
        p.number = blkid_partition_get_partno(par);
        p.start = static_cast<uint64_t>(start) * kSector;
        p.size = static_cast<uint64_t>(size) * kSector;
        const char* typeString = blkid_partition_get_type_string(par);
        p.type = typeString ? CleanText(typeString) : Hex(static_cast<unsigned>(blkid_partition_get_type(par)), 2);
        p.name = CleanText(blkid_partition_get_name(par));
        p.uuid = CleanText(blkid_partition_get_uuid(par));
        p.extended = !typeString && blkid_partition_is_extended(par) != 0;
        out.partitions.push_back(std::move(p));
    }
}

std::string FsText(const FileSystemInfo& fs)
{
    if (!fs.Recognised())
        return "nothing recognised";
    std::string s = fs.type;
    if (!fs.label.empty())
        s += " label \"" + fs.label + "\"";
    if (!fs.uuid.empty())
        s += " uuid " + fs.uuid;
    return s;
}

} // namespace

LunContent ProbeContent(uint64_t size, const LunRangeRead& read)
{
    LunContent out;
    if (size == 0)
        return out;
    Image img(size, read, out);
    if (img.fd() < 0)
        return out;
    LoadRegion(img, 0, size, kLunHead);
    ProbeTable(img, out);
    // Logical partitions are found only once their boot records are in.
    bool extended = false;
    for (const PartitionInfo& p : out.partitions)
        if (p.extended && p.start < size) {
            LoadChain(img, p.start, std::min(p.size, size - p.start));
            extended = true;
        }
    if (extended)
        ProbeTable(img, out);
    size_t probed = 0;
    for (PartitionInfo& p : out.partitions) {
        if (p.extended || p.start >= size || p.size == 0 || probed++ >= kMaxPartitions)
            continue;
        const uint64_t len = std::min(p.size, size - p.start);
        LoadRegion(img, p.start, len, kPartitionHead);
        p.fs = ProbeFileSystem(img, p.start, len, out);
    }
    out.fs = ProbeFileSystem(img, 0, size, out);
    return out;
}

LunContent ProbeLun(const EvaContext& ctx, const LunEntry& lun)
{
    try {
        // No cache: the probe keeps what it read in its memory file.
        LunReader::Options options;
        options.cacheBytes = 0;
        LunReader reader(ctx, lun, options);
        return ProbeContent(reader.Size(), [&reader](uint64_t offset, void* buffer, uint64_t length,
                                                     uint64_t& lost, std::string& error) {
            const LunReadResult r = reader.Read(offset, buffer, length);
            lost = r.lost.Total();
            error = r.error;
            return r.ok;
        });
    } catch (const std::exception& e) { // no thread or memory for the reader
        LunContent c;
        c.errors.push_back(std::string("the probe could not run: ") + e.what());
        return c;
    }
}

std::string ContentText(const LunContent& c)
{
    std::string s;
    if (!c.tableType.empty()) {
        s = c.tableType + " partition table";
        if (!c.tableId.empty())
            s += " " + c.tableId;
        s += ", " + std::to_string(c.partitions.size()) + (c.partitions.size() == 1 ? " partition" : " partitions");
        for (size_t i = 0; i < c.partitions.size(); ++i) {
            const PartitionInfo& p = c.partitions[i];
            s += (i == 0 ? ": " : "; ") + std::to_string(p.number) + " (start " + std::to_string(p.start) +
                 ", size " + std::to_string(p.size) + ", type " + p.type;
            if (!p.name.empty())
                s += ", name \"" + p.name + "\"";
            s += ") " + (p.extended ? std::string("extended") : FsText(p.fs));
        }
    }
    if (c.fs.Recognised() || s.empty())
        s += (s.empty() ? "" : "; whole LUN: ") + FsText(c.fs);
    if (c.lostBytes != 0)
        s += " (" + std::to_string(c.lostBytes) + " of the " + std::to_string(c.bytesRead) +
             " bytes probed were lost and read as zeros)";
    if (!c.errors.empty())
        s += " (" + c.errors.front() + (c.errors.size() > 1 ? ", ..." : "") + ")";
    return s;
}

} // namespace corvane
