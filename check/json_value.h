// A strict JSON reader for what the diagnostic tool reads: manifests and the host's replies.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace melvix {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's UTF-8
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;  // a repeated key keeps its last value

  // The member `key` of an object, or null when there is none (or this is no object).
  const JsonValue* Member(const std::string& key) const;
  bool IsString() const { return kind == Kind::kString; }
  bool IsArray() const { return kind == Kind::kArray; }
};

// `text` as exactly one JSON value (RFC 8259) with nothing but white space around it; nothing,
// with `error` saying where and why, when it is not. A byte-order mark is not JSON either: the
// caller decides what to make of one.
std::optional<JsonValue> parseJson(std::string_view text, std::string* error = nullptr);

}  // namespace melvix
