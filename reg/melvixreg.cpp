// melvixreg PREFIX HOST_PATH: writes PREFIX.chrome.json and PREFIX.firefox.json, the manifests that
// register melvixhost (at HOST_PATH) with Chrome and Firefox. Prints nothing; exit code 1 for a
// wrong number of arguments, 2 when a manifest could not be written whole.
#include <csignal>
#include <vector>

#include "reg/manifest_writer.h"

#ifdef _WIN32
#include <windows.h>
// windows.h must come first.
#include <shellapi.h>
#endif

namespace melvix {

namespace {

#ifdef _WIN32
constexpr wchar_t kMarkerPath[] = L"C:\\tmp\\install.txt";

// The arguments as UTF-16: the narrow argv holds them in the ANSI code page, which loses any
// character of a path outside it.
std::vector<NativeString> commandLineArguments() {
  std::vector<NativeString> args;
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  // Without a command line there are no arguments to act on, which ends in exit code 1.
  if (words == nullptr) return args;
  for (int i = 1; i < count; ++i) args.emplace_back(words[i]);
  LocalFree(words);
  return args;
}
#else
constexpr char kMarkerPath[] = "/tmp/install.txt";
#endif

}  // namespace

}  // namespace melvix

using namespace melvix;

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  return runMelvixReg(commandLineArguments(), kMarkerPath);
#else
  // A write past the file size limit must fail like any other, not end the process unannounced.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<NativeString> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return runMelvixReg(args, kMarkerPath);
#endif
}
