// Large zero-filled buffers of the data path: 2 MiB ring segments, 8 and
// 10 MiB stripe buffers. Anonymous mappings start as zero pages and only
// take memory once written, so the writer's 360 MiB can be claimed when the
// context is built without being resident until stripes pass through it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

class PageBuffer {
public:
    PageBuffer() = default;
    // Throws std::bad_alloc when the mapping cannot be made.
    explicit PageBuffer(size_t size);
    ~PageBuffer();
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    void Release() noexcept;
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

} // namespace corvane
