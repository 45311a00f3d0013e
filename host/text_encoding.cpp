#include "host/text_encoding.h"

#include <cstdint>

namespace melvix {

namespace {

bool isHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

bool isContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8SequenceAt(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the byte after the lead
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  const auto second = static_cast<unsigned char>(text[i + 1]);
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!isContinuation(text[i + k])) return 0;
  }
  return length;
}

WideString utf8ToWide(const std::string& utf8) {
  WideString wide;
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      wide.push_back(static_cast<char16_t>(lead));
      ++i;
      continue;
    }
    int more;
    std::uint32_t value;
    if (lead >= 0xC0 && lead <= 0xDF) {
      more = 1;
      value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
      more = 3;
      value = lead & 0x07u;
    } else if (lead >= 0xF8 && lead <= 0xFB) {
      more = 4;
      value = lead & 0x03u;
    } else if (lead == 0xFC || lead == 0xFD) {
      more = 5;
      value = lead & 0x01u;
    } else {
      ++i;  // a continuation byte on its own, FE or FF
      continue;
    }
    ++i;
    int taken = 0;
    while (taken < more && i < n) {
      const auto c = static_cast<unsigned char>(utf8[i]);
      if ((c & 0xC0) != 0x80) break;  // this byte starts the next character
      value = value << 6 | (c & 0x3Fu);
      ++taken;
      ++i;
    }
    if (taken < more) continue;  // an incomplete sequence gives nothing
    if (more == 3 && value >= 0x10000 && value <= 0x10FFFF) {
      const std::uint32_t offset = value - 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    } else {
      // Overlong and out-of-range forms are not refused; they keep their low 16 bits.
      wide.push_back(static_cast<char16_t>(value & 0xFFFF));
    }
  }
  return wide;
}

void appendUtf8(std::string& out, char32_t codePoint) {
  const auto cp = static_cast<std::uint32_t>(codePoint);
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string wideToUtf8(const WideString& wide) {
  std::string utf8;
  const std::size_t n = wide.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char32_t u = wide[i];
    if (isHighSurrogate(u) && i + 1 < n && isLowSurrogate(wide[i + 1])) {
      // Browsers refuse a frame whose text holds surrogates in three-byte form, so a pair must
      // become the one four-byte sequence of its code point.
      const char32_t low = wide[++i];
      appendUtf8(utf8, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
    } else {
      appendUtf8(utf8, u);
    }
  }
  return utf8;
}

std::string quoteJson(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  auto appendEscape = [&](std::string& out, std::uint32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[unit >> shift & 0xF]);
  };
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const char ch = text[i];
    const auto value = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      quoted.push_back('\\');
      quoted.push_back(ch);
      ++i;
    } else if (value < 0x20) {
      appendEscape(quoted, value);
      ++i;
    } else if (value < 0x80) {
      quoted.push_back(ch);
      ++i;
    } else if (const std::size_t length = utf8SequenceAt(text, i)) {
      quoted.append(text, i, length);
      i += length;
    } else if (value == 0xED && i + 2 < n && isContinuation(text[i + 1]) &&
               isContinuation(text[i + 2])) {
      // A surrogate in the three-byte form that wideToUtf8 gives an unpaired one (a driver's name
      // cut in half a pair). Those bytes are not UTF-8, for which a browser may refuse the whole
      // message; the escape is valid JSON, and sent back in a request it gives the same unit.
      appendEscape(quoted, 0xD000u | (text[i + 1] & 0x3Fu) << 6 | (text[i + 2] & 0x3Fu));
      i += 3;
    } else {
      // Any other byte that is not UTF-8: the replacement character, as a decoder would show it.
      quoted += "\xEF\xBF\xBD";
      ++i;
    }
  }
  quoted.push_back('"');
  return quoted;
}

}  // namespace melvix
