// melvixreg as an installer runs it: arguments in, two manifest files out, nothing printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr char kChromeGolden[] = R"json({
  "name": "com.tarnwell.melvix_midi",
  "description": "melvix-midi",
  "path": "@PATH@",
  "type": "stdio",
  "allowed_origins": [ "chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/" ]
}
)json";

constexpr char kFirefoxGolden[] = R"json({
  "name": "com.tarnwell.melvix_midi",
  "description": "melvix-midi",
  "path": "@PATH@",
  "type": "stdio",
  "allowed_extensions": [ "melvix-midi@tarnwell.com" ]
}
)json";

const char kProgramFiles[] = R"(C:\Program Files\Host\host.exe)";
const char kProgramFilesEscaped[] = R"(C:\\Program Files\\Host\\host.exe)";

// A Windows build (run under Wine) writes its text files with CR LF and its marker on drive C.
bool windowsBuild() {
  const std::string program = programCommand("MELVIX_REG").back();
  return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

std::string expected(const char* golden, const std::string& escapedPath) {
  std::string text = golden;
  text.replace(text.find("@PATH@"), 6, escapedPath);
  if (!windowsBuild()) return text;
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return crlf;
}

struct RegResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs melvixreg in `workDir`. Its standard error goes to a file for the time of the run, so that
// the test can tell it printed nothing there either.
RegResult runReg(const std::vector<std::string>& args, const std::string& workDir) {
  std::vector<std::string> argv = programCommand("MELVIX_REG");
  argv.insert(argv.end(), args.begin(), args.end());
  std::FILE* errFile = std::tmpfile();
  if (errFile == nullptr) throw std::runtime_error("tmpfile failed");
  std::fflush(stderr);
  const int savedErr = dup(2);
  dup2(fileno(errFile), 2);
  RunResult run = runProgram(argv, "", {"WINEDEBUG=-all"}, workDir);
  dup2(savedErr, 2);
  close(savedErr);

  RegResult result{run.status, run.output, ""};
  std::rewind(errFile);
  for (int c; (c = std::fgetc(errFile)) != EOF;) result.err.push_back(static_cast<char>(c));
  std::fclose(errFile);
  return result;
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string lineOf(const std::string& text, int number) {
  std::size_t start = 0;
  for (int i = 1; i < number; ++i) start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start);
}

TEST(Melvixreg, WritesBothManifestsWithTheEscapedHostPath) {
  struct Case {
    std::string hostPath;
    std::string escaped;
  };
  const Case cases[] = {
      {kProgramFiles, kProgramFilesEscaped},
      {"", ""},
      {"/opt/melvix/melvixhost", "/opt/melvix/melvixhost"},
      {R"(C:\Users\Zoë "Z"\ホスト\host.exe)", R"(C:\\Users\\Zoë \"Z\"\\ホスト\\host.exe)"},
      {"C:\\odd\tname\n.exe", R"(C:\\odd\u0009name\u000a.exe)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("host path: " + c.hostPath);
    ScratchDir dir;
    RegResult r = runReg({"m", c.hostPath}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readWholeFile(dir / "m.chrome.json"), expected(kChromeGolden, c.escaped));
    EXPECT_EQ(readWholeFile(dir / "m.firefox.json"), expected(kFirefoxGolden, c.escaped));
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"m.chrome.json", "m.firefox.json"}));
  }
}

TEST(Melvixreg, PathLineDoublesBackslashes) {
  ScratchDir dir;
  fs::create_directory(dir / "out");
  ASSERT_EQ(runReg({"out/x", kProgramFiles}, dir.path()).status, 0);
  for (const char* file : {"out/x.chrome.json", "out/x.firefox.json"}) {
    std::string line = lineOf(readWholeFile(dir / file).value_or(""), 4);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_EQ(line, R"(  "path": "C:\\Program Files\\Host\\host.exe",)") << file;
  }
}

TEST(Melvixreg, WrongArgumentCountExitsOneAndWritesNoManifest) {
  const std::vector<std::vector<std::string>> argLists = {{}, {"m"}, {"m", kProgramFiles, "extra"}};
  for (const auto& args : argLists) {
    SCOPED_TRACE(testing::Message() << "argument count " << args.size());
    ScratchDir dir;
    RegResult r = runReg(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>());
  }
}

// Other runs of melvixreg may empty the marker at the same time, so this asks only that it exists
// and is empty; that a run empties it is a unit test's, with a marker of its own.
TEST(Melvixreg, LeavesAnEmptyMarkerWhateverTheArguments) {
  // A Windows build's marker is C:\tmp\install.txt, which is in the Wine prefix.
  std::string marker = "/tmp/install.txt";
  if (windowsBuild()) {
    const char* prefix = std::getenv("WINEPREFIX");
    marker = (prefix != nullptr && *prefix != 0 ? std::string(prefix)
                                                : std::string(std::getenv("HOME")) + "/.wine") +
             "/drive_c/tmp/install.txt";
  }
  const std::vector<std::vector<std::string>> argLists = {{}, {"m", kProgramFiles}};
  for (const auto& args : argLists) {
    SCOPED_TRACE(testing::Message() << "argument count " << args.size());
    ScratchDir dir;
    runReg(args, dir.path());
    EXPECT_EQ(readWholeFile(marker), std::string()) << marker;
  }
}

TEST(Melvixreg, AppendsTheSuffixesToTheBarePrefix) {
  struct Case {
    std::string prefix;  // "@" stands for the scratch directory
    std::string folder;  // where the files are expected, relative to the scratch directory
  };
  const Case cases[] = {
      {"", "."},          // the working directory
      {"@/sub/", "sub"},  // a folder given by its path with a trailing separator
      {"sub/", "sub"},    // the same, relative to the working directory
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("prefix: " + c.prefix);
    ScratchDir dir;
    fs::create_directory(dir / "sub");
    std::string prefix = c.prefix;
    if (!prefix.empty() && prefix[0] == '@') prefix = dir.path() + prefix.substr(1);
    const std::string folder = dir / c.folder;
    ASSERT_EQ(runReg({prefix, kProgramFiles}, dir.path()).status, 0);
    EXPECT_EQ(readWholeFile(folder + "/.chrome.json"),
              expected(kChromeGolden, kProgramFilesEscaped));
    EXPECT_EQ(readWholeFile(folder + "/.firefox.json"),
              expected(kFirefoxGolden, kProgramFilesEscaped));
  }
}

// The other manifest is still written, and the exit code tells the installer that one is missing.
TEST(Melvixreg, WritesFirefoxManifestWhenChromeFileCannotBeOpened) {
  ScratchDir dir;
  fs::create_directory(dir / "m.chrome.json");
  RegResult r = runReg({"m", kProgramFiles}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::is_directory(dir / "m.chrome.json"));
  EXPECT_EQ(readWholeFile(dir / "m.firefox.json"), expected(kFirefoxGolden, kProgramFilesEscaped));
}

TEST(Melvixreg, OverwritesLongerExistingManifests) {
  ScratchDir dir;
  const std::string junk(4096, 'x');
  writeWholeFile(dir / "m.chrome.json", junk);
  writeWholeFile(dir / "m.firefox.json", junk);
  ASSERT_EQ(runReg({"m", "C:\\h.exe"}, dir.path()).status, 0);
  EXPECT_EQ(readWholeFile(dir / "m.chrome.json"), expected(kChromeGolden, R"(C:\\h.exe)"));
  EXPECT_EQ(readWholeFile(dir / "m.firefox.json"), expected(kFirefoxGolden, R"(C:\\h.exe)"));
}

}  // namespace
