// The browser's requests: JSON arrays of strings and non-negative integers, scanned loosely.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One element of a request: a string (its UTF-8 bytes) or a number (modulo 2^32).
struct RequestItem {
  std::string text;
  std::uint32_t number = 0;
};

using Request = std::vector<RequestItem>;

// The string and number elements of a request text, in order; empty when the text is unusable.
// Reads no byte outside `text`.
Request tokenizeRequest(std::string_view text);
