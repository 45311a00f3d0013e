// Port names, manufacturers and versions as WinMM hands them over: 16-bit units (UTF-16).
#pragma once

#include <cstddef>
#include <string>

#include "platform/winapi.h"

namespace melvix {

using WideString = std::u16string;

// Copies units up to the first NUL, reading at most `capacity` units (a WinMM name field).
template <std::size_t N>
WideString wideFromField(const WCHAR (&field)[N]) {
  WideString s;
  for (std::size_t i = 0; i < N && field[i] != 0; ++i) s.push_back(static_cast<char16_t>(field[i]));
  return s;
}

// Copies a zero-terminated string of 16-bit units.
inline WideString wideFromZ(const WCHAR* z) {
  WideString s;
  if (z != nullptr) {
    for (; *z != 0; ++z) s.push_back(static_cast<char16_t>(*z));
  }
  return s;
}

// Views a wide string as the platform's zero-terminated WCHAR string. On Windows WCHAR is a
// 16-bit wchar_t with the same representation as char16_t.
inline const WCHAR* winStr(const WideString& s) {
  static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR must be 16 bits");
  return reinterpret_cast<const WCHAR*>(s.c_str());
}

}  // namespace melvix
