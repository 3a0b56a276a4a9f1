// Random reads of a file, for the mount benchmark: COUNT positioned reads
// of BLOCK bytes at block-aligned offsets drawn from SEED, one after
// another; prints the reads per second. The same seed gives the same
// offsets, so a second run asks for what the first one brought in.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: random_reads FILE COUNT SEED [BLOCK]\n");
        return 64;
    }
    const long count = std::atol(argv[2]);
    const unsigned long seed = std::strtoul(argv[3], nullptr, 10);
    const size_t block = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 4096;
    const int fd = ::open(argv[1], O_RDONLY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(block) || block == 0 || count <= 0) {
        std::fprintf(stderr, "random_reads: %s: %s\n", argv[1], fd < 0 ? std::strerror(errno) : "too small");
        return 1;
    }
    const uint64_t blocks = static_cast<uint64_t>(st.st_size) / block;
    std::mt19937_64 rng(seed);
    std::vector<char> buf(block);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        const off_t at = static_cast<off_t>((rng() % blocks) * block);
        if (::pread(fd, buf.data(), block, at) != static_cast<ssize_t>(block)) {
            std::fprintf(stderr, "random_reads: read at %lld: %s\n", static_cast<long long>(at), std::strerror(errno));
            return 1;
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.0f\n", static_cast<double>(count) / s);
    ::close(fd);
    return 0;
}
