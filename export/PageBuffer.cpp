#include "export/PageBuffer.h"

#include <new>
#include <sys/mman.h>
#include <utility>

namespace corvane {

PageBuffer::PageBuffer(size_t size) : m_size(size)
{
    if (size == 0)
        return;
    // Buffers of whole 2 MiB units are aligned to 2 MiB and may use huge
    // pages: a segment then takes one page fault instead of 512, and the
    // copies into it miss the TLB far less often.
    constexpr size_t kHuge = size_t{2} << 20;
    const bool huge = size % kHuge == 0;
    const size_t span = huge ? size + kHuge : size;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        m_size = 0;
        throw std::bad_alloc();
    }
    m_data = static_cast<uint8_t*>(p);
    if (huge) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(p);
        const size_t head = (kHuge - at % kHuge) % kHuge;
        if (head > 0)
            ::munmap(p, head);
        ::munmap(m_data + head + size, kHuge - head);
        m_data += head;
        ::madvise(m_data, size, MADV_HUGEPAGE);
    }
}

PageBuffer::~PageBuffer()
{
    Release();
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0))
{
}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept
{
    if (this != &other) {
        Release();
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

void PageBuffer::Release() noexcept
{
    if (m_data)
        ::munmap(m_data, m_size);
    m_data = nullptr;
    m_size = 0;
}

} // namespace corvane
