// Between the UTF-8 of the frames and the UTF-16 names of WinMM.
#pragma once

#include <string>

#include "midi/wide_string.h"

// UTF-8 to UTF-16. Malformed bytes are skipped. A four-byte sequence for a code point above
// U+FFFF becomes its surrogate pair; a surrogate written in three bytes becomes that one unit.
WideString utf8ToWide(const std::string& utf8);

// UTF-16 to UTF-8. A surrogate pair becomes one four-byte sequence; an unpaired surrogate is
// written in its three-byte form, so that no unit is lost.
std::string wideToUtf8(const WideString& wide);

// Appends the UTF-8 form of `codePoint` (at most U+10FFFF; surrogates in their three-byte form).
void appendUtf8(std::string& out, char32_t codePoint);

// A JSON string literal, quotation marks included.
std::string quoteJson(const std::string& text);
