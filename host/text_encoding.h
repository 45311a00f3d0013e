// Between the UTF-8 of the frames and the UTF-16 names of WinMM.
#pragma once

#include <string>

#include "midi/wide_string.h"

// UTF-8 to UTF-16. Malformed bytes are skipped.
WideString utf8ToWide(const std::string& utf8);

// UTF-16 to UTF-8.
std::string wideToUtf8(const WideString& wide);

// A JSON string literal, quotation marks included.
std::string quoteJson(const std::string& text);
