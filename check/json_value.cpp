#include "check/json_value.h"

#include <cstdlib>

#include "host/text_encoding.h"

namespace melvix {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> Document(std::string* error) {
    JsonValue value;
    SkipSpace();
    if (Value(value, 0)) {
      SkipSpace();
      if (at_ == text_.size()) return value;
      Fail("something after the end of the value");
    }
    if (error != nullptr) *error = error_ + " at byte " + std::to_string(failedAt_);
    return std::nullopt;
  }

 private:
  // Deep enough for any manifest or reply, shallow enough for the stack.
  static constexpr int kMostDepth = 64;

  bool Fail(const char* why) {
    if (error_.empty()) {
      error_ = why;
      failedAt_ = at_;
    }
    return false;
  }

  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool Literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return Fail("an unknown word");
    at_ += word.size();
    return true;
  }

  bool Value(JsonValue& value, int depth) {
    if (depth > kMostDepth) return Fail("too deeply nested");
    if (at_ == text_.size()) return Fail("the text ends where a value should be");
    switch (text_[at_]) {
      case '{':
        return Object(value, depth);
      case '[':
        return Array(value, depth);
      case '"':
        value.kind = JsonValue::Kind::kString;
        return String(value.text);
      case 't':
        value.kind = JsonValue::Kind::kBool;
        value.boolean = true;
        return Literal("true");
      case 'f':
        value.kind = JsonValue::Kind::kBool;
        return Literal("false");
      case 'n':
        return Literal("null");
      default:
        return Number(value);
    }
  }

  bool Object(JsonValue& value, int depth) {
    value.kind = JsonValue::Kind::kObject;
    ++at_;
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipSpace();
      std::string key;
      if (at_ == text_.size() || text_[at_] != '"') return Fail("a key should be a string");
      if (!String(key)) return false;
      SkipSpace();
      if (at_ == text_.size() || text_[at_] != ':') return Fail("a colon should follow a key");
      ++at_;
      SkipSpace();
      JsonValue member;
      if (!Value(member, depth + 1)) return false;
      value.members[key] = std::move(member);
      SkipSpace();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == '}') {
        ++at_;
        return true;
      }
      return Fail("a comma or a closing brace should follow a member");
    }
  }

  bool Array(JsonValue& value, int depth) {
    value.kind = JsonValue::Kind::kArray;
    ++at_;
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipSpace();
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      value.items.push_back(std::move(item));
      SkipSpace();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == ']') {
        ++at_;
        return true;
      }
      return Fail("a comma or a closing bracket should follow an item");
    }
  }

  bool Hex4(unsigned long& unit) {
    if (text_.size() - at_ < 4) return Fail("a \\u escape needs four hex digits");
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      unit <<= 4;
      if (c >= '0' && c <= '9') {
        unit |= static_cast<unsigned long>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        unit |= static_cast<unsigned long>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        unit |= static_cast<unsigned long>(c - 'A' + 10);
      } else {
        return Fail("a \\u escape needs four hex digits");
      }
    }
    return true;
  }

  // A string's bytes must be UTF-8; control characters must be escaped.
  bool String(std::string& out) {
    ++at_;
    for (;;) {
      if (at_ == text_.size()) return Fail("a string that does not end");
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return Fail("a control character in a string");
      if (c == '\\') {
        if (++at_ == text_.size()) return Fail("a string that does not end");
        const char e = text_[at_++];
        switch (e) {
          case '"':
          case '\\':
          case '/':
            out += e;
            break;
          case 'b':
            out += '\b';
            break;
          case 'f':
            out += '\f';
            break;
          case 'n':
            out += '\n';
            break;
          case 'r':
            out += '\r';
            break;
          case 't':
            out += '\t';
            break;
          case 'u': {
            unsigned long unit = 0;
            if (!Hex4(unit)) return false;
            if (unit >= 0xD800 && unit <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
              const std::size_t back = at_;
              at_ += 2;
              unsigned long low = 0;
              if (Hex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
              } else {
                at_ = back;
                error_.clear();
              }
            }
            appendUtf8(out, static_cast<char32_t>(unit));
            break;
          }
          default:
            return Fail("an unknown escape in a string");
        }
        continue;
      }
      if (c < 0x80) {
        out += static_cast<char>(c);
        ++at_;
        continue;
      }
      const std::size_t length = utf8SequenceAt(text_, at_);
      if (length == 0) return Fail("a byte that is not UTF-8");
      out.append(text_.substr(at_, length));
      at_ += length;
    }
  }

  bool Number(JsonValue& value) {
    const std::size_t start = at_;
    auto digits = [&] {
      const std::size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ > from;
    };
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ < text_.size() && text_[at_] == '0') {
      ++at_;
    } else if (!digits()) {
      return Fail("a character that starts no value");
    }
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (!digits()) return Fail("a number without digits after its point");
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!digits()) return Fail("a number without digits in its exponent");
    }
    value.kind = JsonValue::Kind::kNumber;
    value.number = std::strtod(std::string(text_.substr(start, at_ - start)).c_str(), nullptr);
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
  std::size_t failedAt_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Member(const std::string& key) const {
  if (kind != Kind::kObject) return nullptr;
  auto it = members.find(key);
  return it == members.end() ? nullptr : &it->second;
}

std::optional<JsonValue> parseJson(std::string_view text, std::string* error) {
  return Parser(text).Document(error);
}

}  // namespace melvix
