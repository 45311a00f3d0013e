// The browser's requests: JSON arrays of strings and non-negative integers, scanned loosely.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace melvix {

// One element of a request: a string (its UTF-8 bytes) or a number (modulo 2^32).
struct RequestItem {
  std::string text;
  std::uint32_t number = 0;
};

using Request = std::vector<RequestItem>;

// The string and number elements of a request text, in order; empty when the text is unusable.
// Reads no byte outside `text`.
Request tokenizeRequest(std::string_view text);
// The same into `items`, whose elements and memory are reused.
void tokenizeRequest(std::string_view text, Request& items);

// The elements of a request text one at a time, exactly as tokenizeRequest gives them, for a
// command that would rather not have them all at once. The text must outlive the scanner.
class RequestScanner {
 public:
  explicit RequestScanner(std::string_view text);

  // Puts the next element into `item` (a string: its bytes, escapes decoded, and number 0; a
  // number: its value and an empty text); false, with `item` in no particular state, when there
  // is none left.
  bool next(RequestItem& item);
  // Appends to `bytes` the low 8 bits of the number of every element still to come (a string
  // counts as 0), as "play" takes them; the same as calling next until it fails, only faster.
  void takeByteValues(std::string& bytes);

 private:
  bool scanString(std::string& text);

  const char* at_;
  const char* end_;
};

// The elements `scanner` has still to give, into `items` from index `from` on; the items before
// it are kept, the others' memory reused.
void tokenizeRest(RequestScanner& scanner, Request& items, std::size_t from);

}  // namespace melvix
