#include "host/request_tokenizer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace melvix;

namespace {

// Items as readable text, with bytes outside printable ASCII in hex, so that a failing case shows
// exactly which bytes differ. An item shows both fields: text and number.
std::vector<std::string> describe(const Request& request) {
  std::vector<std::string> out;
  for (const RequestItem& item : request) {
    std::string line = "\"";
    for (const char c : item.text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20 && byte < 0x7F) {
        line.push_back(c);
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "<%02X>", byte);
        line += hex;
      }
    }
    out.push_back(line + "\" " + std::to_string(item.number));
  }
  return out;
}

RequestItem str(std::string text) { return RequestItem{std::move(text), 0}; }
RequestItem num(std::uint32_t n) { return RequestItem{std::string(), n}; }

struct Case {
  std::string input;
  Request expected;
};

TEST(RequestTokenizer, ScansStringsAndNumbersLoosely) {
  const std::vector<Case> cases = {
      {R"(["version"])", {str("version")}},
      {R"(["play",144,60,100])", {str("play"), num(144), num(60), num(100)}},
      {"", {}},
      {"[", {}},
      {"[]", {}},
      {R"({"a":1})", {}},
      {R"( ["version"])", {}},
      {R"([{"a":1}])", {str("a"), num(1)}},
      {"[-5]", {num(5)}},
      {"[1.5]", {num(1), num(5)}},
      {"[4294967295]", {num(4294967295u)}},
      {"[4294967296]", {num(0)}},
      {"[4294967301]", {num(5)}},
      {"[true]", {}},
      {R"([1"a2"])", {num(1), num(2)}},
      {R"(["x")", {str("x")}},
      {R"(["x)", {}},
      {"[12", {}},
      {R"(["",5])", {str(""), num(5)}},
      {std::string("[\"a\0b\"]", 7), {str(std::string("a\0b", 3))}},
      {"[\"caf\xC3\xA9\"]", {str("caf\xC3\xA9")}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(tokenizeRequest(c.input)), describe(c.expected)) << "input: " << c.input;
  }
}

TEST(RequestTokenizer, DecodesJsonEscapesInStrings) {
  const std::vector<Case> cases = {
      {R"(["a\"b"])", {str("a\"b")}},
      {R"(["a\\b"])", {str("a\\b")}},
      {R"(["a\/b"])", {str("a/b")}},
      {R"(["\b\f\n\r\t"])", {str("\b\f\n\r\t")}},
      {R"(["\u00e9"])", {str("\xC3\xA9")}},
      {R"(["\u003C\u003e"])", {str("<>")}},
      {R"(["\u0000"])", {str(std::string(1, '\0'))}},
      {R"(["\u001F"])", {str("\x1F")}},
      {R"(["\u20AC"])", {str("\xE2\x82\xAC")}},
      {R"(["\uD83D\uDE00"])", {str("\xF0\x9F\x98\x80")}},
      {R"(["\udbff\udfff"])", {str("\xF4\x8F\xBF\xBF")}},
      // Unpaired surrogates keep their three-byte form.
      {R"(["\uD83D"])", {str("\xED\xA0\xBD")}},
      {R"(["\uD83Dx"])", {str("\xED\xA0\xBDx")}},
      {R"(["\uDE00\uD83D"])", {str("\xED\xB8\x80\xED\xA0\xBD")}},
      {R"(["\uD83D\u0041"])",
       {str("\xED\xA0\xBD"
            "A")}},
      {R"(["\uD83D\n"])", {str("\xED\xA0\xBD\n")}},
      {R"(["\uD83D\uDE0"])", {str("\xED\xA0\xBDuDE0")}},
      // Escapes JSON does not know keep the byte after the backslash.
      {R"(["a\xb"])", {str("axb")}},
      {R"(["\'"])", {str("'")}},
      // A \u without four hex digits keeps the bytes after the backslash.
      {R"(["\u12"])", {str("u12")}},
      {R"(["\u12G4"])", {str("u12G4")}},
      {R"(["\u"])", {str("u")}},
      {R"(["\u00e9)", {}},
      // The quotation mark that follows a backslash never ends the string.
      {R"(["a\"])", {}},
      {R"(["a\\"])", {str("a\\")}},
      {"[\"a\\", {}},
      {R"(["\u003C)", {}},
      {R"(["openin","Port \u003C1\u003E"])", {str("openin"), str("Port <1>")}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(tokenizeRequest(c.input)), describe(c.expected)) << "input: " << c.input;
  }
}

// The host reuses one Request from one message to the next: nothing of an earlier request may
// show in a later one.
TEST(RequestTokenizer, ReusedItemsHoldOnlyTheNewRequest) {
  const std::vector<std::string> texts = {
      R"(["openin","a long port name that is not short",1,2,3])",
      R"(["ab"])",
      R"([7,"x\u00e9"])",
      "",
      R"(["version"])",
      R"(["version"])",
      R"(["versio"])",
      R"(["a","b","c","d","e","f","g","h"])",
      R"([1])",
  };
  Request reused;
  for (const std::string& text : texts) {
    tokenizeRequest(text, reused);
    EXPECT_EQ(describe(reused), describe(tokenizeRequest(text))) << "input: " << text;
  }
}

// What "play" takes in one sweep is what it would take item by item: the low 8 bits of each
// number, 0 for each string, over texts made to trip up a scanner (escapes, quotation marks,
// surrogate pairs, numbers cut short).
TEST(RequestTokenizer, ByteValuesAreTheItemsNumbers) {
  std::vector<std::string> texts = {
      R"(["play",144,60,100])",
      R"(["play","a\"b",300,"\uD83D\uDE00",7])",
      R"(["play","\uD83D\u12",9])",
      R"(["play","\u12\"",9])",
      R"(["play",1"2"3])",
      R"(["play",4294967301])",
      R"(["play","x\)",
      R"(["play",12)",
  };
  std::mt19937 random(12);
  const std::string alphabet = "\"\\u0123456789aDdEeFfCc8[], x";
  for (int i = 0; i < 20000; ++i) {
    std::string text = "[";
    const auto length = random() % 40;
    for (unsigned k = 0; k < length; ++k) text.push_back(alphabet[random() % alphabet.size()]);
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    // From the start and after the first element, as the host calls it.
    for (int skipped = 0; skipped < 2; ++skipped) {
      RequestScanner itemByItem(text);
      RequestScanner sweep(text);
      RequestItem item;
      if (skipped == 1 && (!itemByItem.next(item) || !sweep.next(item))) break;
      std::string expected;
      while (itemByItem.next(item)) expected.push_back(static_cast<char>(item.number & 0xFF));
      std::string bytes = "kept";
      sweep.takeByteValues(bytes);
      EXPECT_EQ(bytes, "kept" + expected) << "input: " << text << " after " << skipped;
    }
  }
}

}  // namespace
