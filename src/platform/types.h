// Windows-shaped basic types of the platform layer. Free of POSIX names so
// that a native Windows backend can sit behind the same headers.
#pragma once

#include <cstdint>

namespace win {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr BOOL TRUE_ = 1;
constexpr BOOL FALSE_ = 0;

// Opaque handles. The objects behind them live in the platform layer.
struct WindowObject;
using HWND = WindowObject*;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
constexpr BYTE LOBYTE(WORD w) { return static_cast<BYTE>(w & 0xFF); }
constexpr BYTE HIBYTE(WORD w) { return static_cast<BYTE>(w >> 8); }
constexpr WORD LOWORD(LPARAM l) { return static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xFFFF); }
constexpr WORD HIWORD(LPARAM l) { return static_cast<WORD>((static_cast<std::uintptr_t>(l) >> 16) & 0xFFFF); }

}  // namespace win
