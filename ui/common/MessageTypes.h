// The scalar types the program's messages carry. A window message has two
// parameters of pointer width and a pointer-width result; colours are 0x00BBGGRR
// values, as the toolkit-independent parts of the program store them.
#pragma once

#include <cstdint>

namespace corvane::ui {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using COLORREF = std::uint32_t;

// "Use the system colour": each colour holding it is looked up at each use.
inline constexpr COLORREF CLR_DEFAULT = 0xFF000000u;

constexpr COLORREF RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    return COLORREF(r) | (COLORREF(g) << 8) | (COLORREF(b) << 16);
}
constexpr std::uint8_t GetRValue(COLORREF c) { return std::uint8_t(c & 0xFF); }
constexpr std::uint8_t GetGValue(COLORREF c) { return std::uint8_t((c >> 8) & 0xFF); }
constexpr std::uint8_t GetBValue(COLORREF c) { return std::uint8_t((c >> 16) & 0xFF); }

// Two 16-bit halves packed into one parameter or result.
constexpr std::uint32_t MAKELONG(std::uint32_t low, std::uint32_t high)
{
    return (low & 0xFFFFu) | ((high & 0xFFFFu) << 16);
}
constexpr std::uint32_t LOWORD(std::uintmax_t v) { return std::uint32_t(v & 0xFFFFu); }
constexpr std::uint32_t HIWORD(std::uintmax_t v) { return std::uint32_t((v >> 16) & 0xFFFFu); }

} // namespace corvane::ui
