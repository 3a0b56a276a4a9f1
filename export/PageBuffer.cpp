#include "export/PageBuffer.h"

#include <new>
#include <sys/mman.h>
#include <utility>

namespace corvane {

PageBuffer::PageBuffer(size_t size) : m_size(size)
{
    if (size == 0)
        return;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        m_size = 0;
        throw std::bad_alloc();
    }
    m_data = static_cast<uint8_t*>(p);
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
