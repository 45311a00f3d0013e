// Between the UTF-8 of the frames and the UTF-16 names of WinMM.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "midi/wide_string.h"

namespace melvix {

// UTF-8 to UTF-16. Malformed bytes are skipped. A four-byte sequence for a code point above
// U+FFFF becomes its surrogate pair; a surrogate written in three bytes becomes that one unit.
WideString utf8ToWide(const std::string& utf8);

// UTF-16 to UTF-8. A surrogate pair becomes one four-byte sequence; an unpaired surrogate is
// written in its three-byte form, so that no unit is lost.
std::string wideToUtf8(const WideString& wide);

// The length of the well-formed UTF-8 sequence of a character from U+0080 up that starts at
// text[i], or 0: no overlong form, no surrogate, nothing above U+10FFFF (browsers refuse those).
std::size_t utf8SequenceAt(std::string_view text, std::size_t i);

// Appends the UTF-8 form of `codePoint` (at most U+10FFFF; surrogates in their three-byte form).
void appendUtf8(std::string& out, char32_t codePoint);

// A JSON string literal, quotation marks included, and valid JSON whatever the bytes: UTF-8 is
// copied, control characters are escaped, a surrogate in its three-byte form (an unpaired one from
// wideToUtf8) becomes its \u escape, and any other byte that is not UTF-8 becomes U+FFFD.
std::string quoteJson(const std::string& text);

}  // namespace melvix
