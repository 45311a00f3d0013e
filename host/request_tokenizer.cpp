#include "host/request_tokenizer.h"

#include <cstring>

#include "host/text_encoding.h"

namespace melvix {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// The 16-bit unit written as four hex digits at `at`, or -1 if there are not four.
long hexUnitAt(const char* at, const char* end) {
  if (end - at < 4) return -1;
  long unit = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int digit = hexValue(at[k]);
    if (digit < 0) return -1;
    unit = unit << 4 | digit;
  }
  return unit;
}

// The byte a one-letter escape stands for. A letter JSON does not know stands for itself, as do
// the quotation mark, the backslash and the slash.
char unescaped(char e) {
  static const char kLetters[] = "bfnrt";
  static const char kBytes[] = "\b\f\n\r\t";
  for (std::size_t k = 0; k + 1 < sizeof kLetters; ++k) {
    if (e == kLetters[k]) return kBytes[k];
  }
  return e;
}

// Decodes the \uXXXX whose 'u' is at `u` into UTF-8 and returns where scanning goes on. A pair of
// escapes for a high and a low surrogate is one code point; an unpaired surrogate keeps its
// three-byte form, as wideToUtf8 writes it. Without four hex digits only the 'u' is kept and the
// bytes after it are scanned as usual.
const char* appendUnicodeEscape(const char* u, const char* end, std::string& out) {
  const long unit = hexUnitAt(u + 1, end);
  if (unit < 0) {
    out.push_back('u');
    return u + 1;
  }
  const char* last = u + 4;  // the escape's last hex digit
  char32_t codePoint = static_cast<char32_t>(unit);
  if (unit >= 0xD800 && unit <= 0xDBFF && end - last > 2 && last[1] == '\\' && last[2] == 'u') {
    const long low = hexUnitAt(last + 3, end);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      codePoint = static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      last += 6;
    }
  }
  appendUtf8(out, codePoint);
  return last + 1;
}

}  // namespace

// The text is scanned, not parsed: the string and number elements are taken in order and all
// other syntax is ignored, so a slightly odd request still yields what it plainly holds.
RequestScanner::RequestScanner(std::string_view text)
    : at_(text.data()), end_(text.data() + text.size()) {
  if (text.empty() || text[0] != '[') {
    at_ = end_;
  } else {
    ++at_;
  }
}

bool RequestScanner::next(RequestItem& item) {
  const char* p = at_;
  const char* const end = end_;
  // Outside an element every byte but a quotation mark or a digit is ignored.
  while (p != end) {
    const char c = *p++;
    if (c == '"') {
      at_ = p;
      item.number = 0;
      return scanString(item.text);
    }
    if (isDigit(c)) {
      // Unsigned arithmetic wraps: the value is kept modulo 2^32.
      std::uint32_t value = static_cast<std::uint32_t>(c - '0');
      while (p != end && isDigit(*p)) value = value * 10u + static_cast<std::uint32_t>(*p++ - '0');
      if (p == end) break;  // a number still open at the end of the text is dropped
      // The byte that ends a number is consumed, even a quotation mark.
      at_ = p + 1;
      item.text.clear();
      item.number = value;
      return true;
    }
  }
  at_ = end;
  return false;
}

void RequestScanner::takeByteValues(std::string& bytes) {
  const char* p = at_;
  const char* const end = end_;
  // Gathered on the stack and appended a block at a time.
  char block[512];
  std::size_t held = 0;
  auto put = [&](char value) {
    if (held == sizeof block) {
      bytes.append(block, held);
      held = 0;
    }
    block[held++] = value;
  };
  while (p != end) {
    const char c = *p++;
    if (isDigit(c)) {
      std::uint32_t value = static_cast<std::uint32_t>(c - '0');
      while (p != end && isDigit(*p)) value = value * 10u + static_cast<std::uint32_t>(*p++ - '0');
      if (p == end) break;  // a number still open at the end of the text is dropped
      ++p;                  // the byte that ends a number is consumed, even a quotation mark
      put(static_cast<char>(value & 0xFF));
    } else if (c == '"') {
      // Only where the string ends matters. A backslash takes the byte after it with it, and no
      // byte a \u escape consumes beyond that is a quotation mark, so this ends where next would.
      while (p != end && *p != '"') p += *p == '\\' && end - p >= 2 ? 2 : 1;
      if (p == end) break;
      ++p;
      put(0);
    }
  }
  bytes.append(block, held);
  at_ = end;
}

bool RequestScanner::scanString(std::string& text) {
  const char* p = at_;
  const char* const end = end_;
  // Most strings hold no escape: their bytes are taken as they stand, and not even copied when
  // `text` holds them already (the command name of the request before, for example).
  const auto* quote =
      static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
  if (quote != nullptr && std::memchr(p, '\\', static_cast<std::size_t>(quote - p)) == nullptr) {
    p = quote;
    const auto n = static_cast<std::size_t>(p - at_);
    if (text.size() != n || std::memcmp(text.data(), at_, n) != 0) text.assign(at_, n);
    at_ = p + 1;
    return true;
  }
  text.clear();
  p = at_;
  for (;;) {
    const char* run = p;
    while (p != end && *p != '"' && *p != '\\') ++p;
    text.append(run, p);
    if (p == end) break;  // a string still open at the end of the text is dropped
    if (*p == '"') {
      at_ = p + 1;
      return true;
    }
    // A backslash as the last byte escapes nothing; the unfinished string is dropped anyway.
    if (end - p < 2) break;
    // JSON writers such as Chrome's send '<' as \u003C and control characters as \n or \uXXXX;
    // a port name holding them matches only once they are decoded.
    if (p[1] == 'u') {
      p = appendUnicodeEscape(p + 1, end, text);
    } else {
      text.push_back(unescaped(p[1]));
      p += 2;
    }
  }
  at_ = end;
  return false;
}

void tokenizeRest(RequestScanner& scanner, Request& items, std::size_t from) {
  std::size_t count = from;
  // Existing items are scanned into, so that their strings' memory serves again.
  while (count < items.size() && scanner.next(items[count])) ++count;
  if (count < items.size()) {
    items.resize(count);
    return;
  }
  for (RequestItem item; scanner.next(item);) items.push_back(std::move(item));
}

void tokenizeRequest(std::string_view text, Request& items) {
  RequestScanner scanner(text);
  tokenizeRest(scanner, items, 0);
}

Request tokenizeRequest(std::string_view text) {
  Request items;
  tokenizeRequest(text, items);
  return items;
}

}  // namespace melvix
