#include "host/text_encoding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace melvix;

namespace {

std::string hexBytes(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", static_cast<unsigned char>(c));
    out += hex;
  }
  return out;
}

std::string hexUnits(const WideString& units) {
  std::string out;
  for (const char16_t u : units) {
    char hex[6];
    std::snprintf(hex, sizeof hex, "%04X ", static_cast<unsigned>(u));
    out += hex;
  }
  return out;
}

struct Utf8Case {
  std::string utf8;
  WideString wide;
};

TEST(TextEncoding, Utf8ToWideSkipsOnlyMalformedBytes) {
  const std::vector<Utf8Case> cases = {
      {"", u""},
      {"Keys", u"Keys"},
      {std::string(1, '\0'), WideString(1, u'\0')},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xC3\x41", u"A"},
      {"\xE2\x82\x41", u"A"},
      {"\x80", u""},
      {"a\xBF"
       "b",
       u"ab"},
      {"\xFE\xFF", u""},
      {"ab\xC3", u"ab"},
      {"\xF0\x9F\x98", u""},
      {"\xC0\x80", WideString(1, u'\0')},
      // Four-byte sequences for code points above U+FFFF become surrogate pairs.
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      // Four-byte forms outside that range, and longer forms, keep their low 16 bits.
      {"\xF0\x8F\xBF\xBF", u"\xFFFF"},
      {"\xF4\x90\x80\x80", WideString(1, u'\0')},
      {"\xF8\x88\x80\x80\x80", WideString(1, u'\0')},
      {"\xFC\x84\x80\x80\x80\x81", u"\u0001"},
      // Surrogates in three-byte form stay single units, paired or not.
      {"\xED\xA0\xBD", u"\xD83D"},
      {"\xED\xB8\x80", u"\xDE00"},
      {"\xED\xA0\xBD\xED\xB8\x80", u"\xD83D\xDE00"},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(hexUnits(utf8ToWide(c.utf8)), hexUnits(c.wide)) << "bytes: " << hexBytes(c.utf8);
  }
}

TEST(TextEncoding, WideToUtf8JoinsSurrogatePairs) {
  const std::vector<Utf8Case> cases = {
      {"", u""},
      {std::string(1, '\0'), WideString(1, u'\0')},
      {"\x7F", u"\u007F"},
      {"\xC2\x80", u"\u0080"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xDF\xBF", u"\u07FF"},
      {"\xE0\xA0\x80", u"\u0800"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xEF\xBF\xBF", u"\xFFFF"},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {"a\xF0\x9F\x98\x80"
       "b",
       u"a\xD83D\xDE00"
       "b"},
      // Unpaired surrogates, and halves in the wrong order, are written one by one.
      {"\xED\xA0\xBD", u"\xD83D"},
      {"\xED\xB8\x80", u"\xDE00"},
      {"\xED\xA0\xBD"
       "A",
       u"\xD83D"
       "A"},
      {"\xED\xB8\x80\xED\xA0\xBD", u"\xDE00\xD83D"},
      {"\xED\xA0\xBD\xF0\x9F\x98\x80", u"\xD83D\xD83D\xDE00"},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(hexBytes(wideToUtf8(c.wide)), hexBytes(c.utf8)) << "units: " << hexUnits(c.wide);
  }
}

TEST(TextEncoding, NamesSurviveTheRoundTrip) {
  const std::vector<WideString> names = {
      u"Keys",   u"Caf\u00E9 \u20AC", u"\xD83C\xDFB9 Piano \xD83D\xDE00",
      u"\xD83D", u"\xDE00 tail",      WideString(u"a\0b", 3),
  };
  for (const WideString& name : names) {
    EXPECT_EQ(hexUnits(utf8ToWide(wideToUtf8(name))), hexUnits(name));
  }
}

TEST(TextEncoding, QuoteJsonEscapesWhatJsonRequires) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", R"("")"},
      {"1.5", R"("1.5")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"/", R"("/")"},
      {"\x07", R"("\u0007")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\n\r\t", R"("\u000a\u000d\u0009")"},
      {"\x1F\x20", R"("\u001f ")"},
      {"\x7F", "\"\x7F\""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
      // What is not UTF-8 would make the browser refuse the whole message: an unpaired surrogate
      // (a name cut in half a pair) keeps its unit as an escape, other bytes become U+FFFD.
      {wideToUtf8(u"Cut \xD83C"), R"("Cut \ud83c")"},
      {"\xED\xB8\x80\xED\xA0\xBD", R"("\ude00\ud83d")"},
      {"\x80 \xC3 \xC0\x80 \xF4\x90\x80\x80 \xFF",
       "\"\xEF\xBF\xBD \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD "
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quoteJson(c.first), c.second) << "text: " << hexBytes(c.first);
  }
}

}  // namespace
