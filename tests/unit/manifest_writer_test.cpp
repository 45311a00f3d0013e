#include "reg/manifest_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

using namespace melvix;

namespace {

TEST(EscapeJsonText, EscapesWhatJsonForbidsAndKeepsEverythingElse) {
  struct Case {
    std::string text;
    std::string escaped;
  };
  const Case cases[] = {
      {"", ""},
      {"/opt/melvix/melvixhost", "/opt/melvix/melvixhost"},
      {R"(C:\Program Files\Host\host.exe)", R"(C:\\Program Files\\Host\\host.exe)"},
      {R"(\\server\share\)", R"(\\\\server\\share\\)"},
      {R"(say "hi")", R"(say \"hi\")"},
      {"a\tb\nc\rd\x1f", R"(a\u0009b\u000ac\u000dd\u001f)"},
      {std::string("nul\0end", 7), R"(nul\u0000end)"},
      // UTF-8 and DEL are allowed in JSON strings as they are; stray bytes pass unchanged too.
      {"Zo\xc3\xab \xe3\x83\x9b\xe3\x82\xb9\xe3\x83\x88 \x7f \xff",
       "Zo\xc3\xab \xe3\x83\x9b\xe3\x82\xb9\xe3\x83\x88 \x7f \xff"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(escapeJsonText(c.text), c.escaped) << "text: " << c.text;
  }
}

TEST(Manifests, ChromeAndFirefoxTextsAreExact) {
  const std::string path = R"(C:\Program Files\Host "x"\host.exe)";
  EXPECT_EQ(chromeManifest(path),
            "{\n"
            "  \"name\": \"com.tarnwell.melvix_midi\",\n"
            "  \"description\": \"melvix-midi\",\n"
            "  \"path\": \"C:\\\\Program Files\\\\Host \\\"x\\\"\\\\host.exe\",\n"
            "  \"type\": \"stdio\",\n"
            "  \"allowed_origins\": [ \"chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/\" ]\n"
            "}\n");
  EXPECT_EQ(firefoxManifest(path),
            "{\n"
            "  \"name\": \"com.tarnwell.melvix_midi\",\n"
            "  \"description\": \"melvix-midi\",\n"
            "  \"path\": \"C:\\\\Program Files\\\\Host \\\"x\\\"\\\\host.exe\",\n"
            "  \"type\": \"stdio\",\n"
            "  \"allowed_extensions\": [ \"melvix-midi@tarnwell.com\" ]\n"
            "}\n");
}

TEST(Utf16ToUtf8, ConvertsPairsAndReplacesLoneSurrogates) {
  struct Case {
    std::u16string units;
    std::string utf8;
  };
  const Case cases[] = {
      {u"", ""},
      {u"C:\\host.exe", "C:\\host.exe"},
      {u"Zo\u00eb", "Zo\xc3\xab"},
      {u"\u20ac\uffff", "\xe2\x82\xac\xef\xbf\xbf"},
      {u"\U0001D11E", "\xf0\x9d\x84\x9e"},
      {u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
      {std::u16string{0xD834}, "\xef\xbf\xbd"},
      {std::u16string{0xDD1E, u'a'},
       "\xef\xbf\xbd"
       "a"},
      {std::u16string{0xD834, u'a', 0xDD1E},
       "\xef\xbf\xbd"
       "a\xef\xbf\xbd"},
      {std::u16string{0xD834, 0xD834, 0xDD1E}, "\xef\xbf\xbd\xf0\x9d\x84\x9e"},
  };
  for (const auto& c : cases) {
    std::string units;
    for (char16_t u : c.units) units += std::to_string(u) + " ";
    EXPECT_EQ(utf16ToUtf8(c.units), c.utf8) << "units: " << units;
  }
}

// The whole run with a marker of the test's own, so that it can check the marker is emptied
// without racing other runs over the real one.
TEST(RunMelvixReg, EmptiesTheMarkerAndWritesManifestsOnlyForTwoArguments) {
  const std::vector<std::vector<std::string>> argLists = {
      {}, {"m"}, {"m", "C:\\host.exe", "extra"}, {"m", "C:\\host.exe"}};
  for (const auto& args : argLists) {
    ScratchDir dir;
    const std::string marker = dir / "install.txt";
    writeWholeFile(marker, "left over");
    std::vector<std::string> fullArgs = args;
    if (!fullArgs.empty()) fullArgs[0] = dir / fullArgs[0];

    const int status = runMelvixReg(fullArgs, marker);

    const bool two = args.size() == 2;
    SCOPED_TRACE(testing::Message() << "argument count " << args.size());
    EXPECT_EQ(status, two ? 0 : 1);
    EXPECT_EQ(readWholeFile(marker), std::string());
    EXPECT_EQ(readWholeFile(dir / "m.chrome.json"),
              two ? std::optional(chromeManifest("C:\\host.exe")) : std::nullopt);
    EXPECT_EQ(readWholeFile(dir / "m.firefox.json"),
              two ? std::optional(firefoxManifest("C:\\host.exe")) : std::nullopt);
  }
}

TEST(RunMelvixReg, WritesTheManifestsWhenTheMarkerFolderIsMissing) {
  ScratchDir dir;
  EXPECT_EQ(runMelvixReg({dir / "m", "/opt/host"}, dir / "missing/install.txt"), 0);
  EXPECT_EQ(readWholeFile(dir / "m.chrome.json"), chromeManifest("/opt/host"));
  EXPECT_EQ(readWholeFile(dir / "m.firefox.json"), firefoxManifest("/opt/host"));
}

}  // namespace
