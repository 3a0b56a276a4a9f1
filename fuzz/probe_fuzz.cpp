// libFuzzer target: the content probe on a LUN whose first and last bytes
// the input is (its first half at the start of a 4 MiB LUN, the second half
// at its end, zeros between). Whatever the tables and superblocks say, the
// probe must end, read only inside the LUN and never crash.
#include "probe/LunContent.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kLun = 4u << 20;
    if (size > kLun)
        return 0;
    std::vector<uint8_t> lun(kLun);
    const size_t head = size / 2;
    std::memcpy(lun.data(), data, head);
    std::memcpy(lun.data() + kLun - (size - head), data + head, size - head);
    const LunContent c = ProbeContent(kLun, [&lun](uint64_t offset, void* buffer, uint64_t length, uint64_t& lost,
                                                   std::string&) {
        if (offset > lun.size() || length > lun.size() - offset)
            std::abort();
        std::memcpy(buffer, lun.data() + offset, length);
        lost = 0;
        return true;
    });
    if (c.bytesRead > kLun || ContentText(c).empty())
        std::abort();
    return 0;
}
