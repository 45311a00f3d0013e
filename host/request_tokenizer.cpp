#include "host/request_tokenizer.h"

#include "host/text_encoding.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The 16-bit unit written as four hex digits at text[pos], or -1 if there are not four.
long hexUnitAt(std::string_view text, std::size_t pos) {
  if (text.size() < 4 || pos > text.size() - 4) return -1;
  long unit = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int digit = hexValue(text[pos + k]);
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

// Decodes the \uXXXX whose 'u' is at text[i] into UTF-8 and advances i to its last byte. A pair of
// escapes for a high and a low surrogate is one code point; an unpaired surrogate keeps its
// three-byte form, as wideToUtf8 writes it. Without four hex digits only the 'u' is kept and the
// bytes after it are scanned as usual.
void appendUnicodeEscape(std::string_view text, std::size_t& i, std::string& out) {
  const long unit = hexUnitAt(text, i + 1);
  if (unit < 0) {
    out.push_back('u');
    return;
  }
  i += 4;
  char32_t codePoint = static_cast<char32_t>(unit);
  if (unit >= 0xD800 && unit <= 0xDBFF && i + 2 < text.size() && text[i + 1] == '\\' &&
      text[i + 2] == 'u') {
    const long low = hexUnitAt(text, i + 3);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      codePoint = static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      i += 6;
    }
  }
  appendUtf8(out, codePoint);
}

}  // namespace

// The text is scanned, not parsed: the string and number elements are taken in order and all
// other syntax is ignored, so a slightly odd request still yields what it plainly holds.
Request tokenizeRequest(std::string_view text) {
  Request items;
  if (text.empty() || text[0] != '[') return items;

  enum class Mode { kOutside, kNumber, kString };
  Mode mode = Mode::kOutside;
  std::uint32_t number = 0;
  std::string accumulated;
  const std::size_t n = text.size();

  for (std::size_t i = 1; i < n; ++i) {
    const char c = text[i];
    switch (mode) {
      case Mode::kOutside:
        if (c == '"') {
          accumulated.clear();
          mode = Mode::kString;
        } else if (c >= '0' && c <= '9') {
          number = static_cast<std::uint32_t>(c - '0');
          mode = Mode::kNumber;
        }
        break;

      case Mode::kNumber:
        if (c >= '0' && c <= '9') {
          // Unsigned arithmetic wraps: the value is kept modulo 2^32.
          number = number * 10u + static_cast<std::uint32_t>(c - '0');
        } else {
          // The byte that ends a number is consumed, even a quotation mark.
          items.push_back(RequestItem{std::string(), number});
          mode = Mode::kOutside;
        }
        break;

      case Mode::kString:
        if (c == '"') {
          items.push_back(RequestItem{accumulated, 0});
          mode = Mode::kOutside;
        } else if (c != '\\') {
          accumulated.push_back(c);
        } else if (i + 1 < n) {
          // JSON writers such as Chrome's send '<' as \u003C and control characters as \n or
          // \uXXXX; a port name holding them matches only once they are decoded.
          const char e = text[++i];
          if (e == 'u') {
            appendUnicodeEscape(text, i, accumulated);
          } else {
            accumulated.push_back(unescaped(e));
          }
        }
        // A backslash as the last byte escapes nothing; the unfinished string is dropped anyway.
        break;
    }
  }
  // A number or string still open at the end of the text is dropped.
  return items;
}
