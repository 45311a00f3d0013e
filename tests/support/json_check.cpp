#include "tests/support/json_check.h"

#include <cstddef>

namespace {

class JsonChecker {
 public:
  explicit JsonChecker(const std::string& text) : s_(text) {}

  bool document() {
    blanks();
    if (!value(0)) return false;
    blanks();
    return at_ == s_.size();
  }

 private:
  // Deep enough for anything the host writes, shallow enough that a hostile text cannot exhaust
  // the stack.
  static constexpr int kMaxDepth = 64;

  bool value(int depth) {
    if (at_ >= s_.size() || depth > kMaxDepth) return false;
    switch (s_[at_]) {
      case '{':
        return object(depth);
      case '[':
        return array(depth);
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }

  bool object(int depth) {
    ++at_;
    blanks();
    if (eat('}')) return true;
    for (;;) {
      blanks();
      if (at_ >= s_.size() || s_[at_] != '"' || !string()) return false;
      blanks();
      if (!eat(':')) return false;
      blanks();
      if (!value(depth + 1)) return false;
      blanks();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }

  bool array(int depth) {
    ++at_;
    blanks();
    if (eat(']')) return true;
    for (;;) {
      blanks();
      if (!value(depth + 1)) return false;
      blanks();
      if (eat(']')) return true;
      if (!eat(',')) return false;
    }
  }

  bool string() {
    ++at_;
    while (at_ < s_.size()) {
      auto c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (at_ >= s_.size()) return false;
        char e = s_[at_++];
        if (e == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (at_ >= s_.size() || !isHex(s_[at_++])) return false;
          }
        } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
          return false;
        }
      } else if (c >= 0x80 && !utf8Tail(c)) {
        return false;
      }
    }
    return false;
  }

  // The continuation bytes of a UTF-8 sequence whose lead byte `lead` was just read. Overlong
  // forms, surrogates written as three bytes and code points above U+10FFFF are not UTF-8, and
  // browsers refuse them.
  bool utf8Tail(unsigned char lead) {
    int extra = (lead & 0xE0) == 0xC0   ? 1
                : (lead & 0xF0) == 0xE0 ? 2
                : (lead & 0xF8) == 0xF0 ? 3
                                        : -1;
    if (extra < 0 || lead == 0xC0 || lead == 0xC1 || lead > 0xF4) return false;
    // The range the byte after the lead must fall in.
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    for (int i = 0; i < extra; ++i) {
      if (at_ >= s_.size()) return false;
      const auto c = static_cast<unsigned char>(s_[at_++]);
      if (c < (i == 0 ? low : 0x80) || c > (i == 0 ? high : 0xBF)) return false;
    }
    return true;
  }

  bool number() {
    std::size_t start = at_;
    eat('-');
    if (eat('0')) {
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return at_ > start;
  }

  bool digits() {
    std::size_t start = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > start;
  }

  bool word(const char* w) {
    std::string expected(w);
    if (s_.compare(at_, expected.size(), expected) != 0) return false;
    at_ += expected.size();
    return true;
  }

  bool eat(char c) {
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void blanks() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
      ++at_;
    }
  }

  static bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  const std::string& s_;
  std::size_t at_ = 0;
};

// A plain decimal number without leading zeros, at most `max`, starting at `at`.
bool decimal(const std::string& text, std::size_t& at, std::uint64_t max, std::uint64_t& value) {
  std::size_t start = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    if (value > max) return false;
    ++at;
  }
  if (at == start) return false;
  return text[start] != '0' || at - start == 1;
}

}  // namespace

bool isJson(const std::string& text) { return JsonChecker(text).document(); }

bool parseMidiFrame(const std::string& text, MidiFrame& frame) {
  const std::string head = "[\"midi\",";
  if (text.compare(0, head.size(), head) != 0) return false;
  std::size_t at = head.size();
  std::uint64_t value = 0;
  if (!decimal(text, at, 0xFFFFFFFFu, value)) return false;
  frame.time = static_cast<std::uint32_t>(value);
  frame.bytes.clear();
  while (at < text.size() && text[at] == ',') {
    ++at;
    if (!decimal(text, at, 255, value)) return false;
    frame.bytes.push_back(static_cast<unsigned char>(value));
  }
  return !frame.bytes.empty() && at + 1 == text.size() && text[at] == ']';
}
