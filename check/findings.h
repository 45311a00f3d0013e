// What melvixcheck finds: a check for each thing a browser needs, said in plain words with what to
// do about it, and the state of each MIDI port.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check/program_file.h"

namespace melvix {

// The browsers whose way to the host is checked.
enum class Browser { kChrome, kChromium, kEdge, kFirefox };
inline constexpr Browser kBrowsers[] = {Browser::kChrome, Browser::kChromium, Browser::kEdge,
                                        Browser::kFirefox};
// "chrome", "chromium", "edge", "firefox": as --json names them.
const char* browserId(Browser browser);
// "Google Chrome", "Chromium", "Microsoft Edge", "Firefox".
const char* browserName(Browser browser);
// Chrome, Chromium and Edge share Chromium's code for native messaging.
inline bool chromiumBased(Browser browser) { return browser != Browser::kFirefox; }

enum class Status { kOk, kProblem, kWarning };
const char* statusId(Status status);  // "ok", "problem", "warning"

// Every kind of finding. Its name ("host.no_reply") stays the same from one version to the next,
// whatever the words, so that a script, a test or a helper reading a report can match it.
enum class CheckId {
  kRegistrationFound,
  kRegistrationMissing,
  kRegistrationShadowed,
  kPolicyUserLevelHosts,
  kPolicyBlocked,
  kManifestUnreadable,
  kManifestByteOrderMark,
  kManifestInvalidJson,
  kManifestWrongName,
  kManifestWrongType,
  kManifestNoDescription,
  kManifestExtensionNotAllowed,
  kManifestNoPath,
  kManifestRelativePath,
  kHostMissing,
  kHostNotStarted,
  kHostNotAFrame,
  kHostNoReply,
  kHostStalled,
  kHostForeignReply,
  kHostNotEnded,
  kHostExitStatus,
  kHostOk,
  kHostProgram,
  kInstallSameVersion,
  kInstallMixedVersions,
  kHostsSame,
  kHostsDiffer,
  kHostsOtherNoAnswer,
  kMidiStack,
  kMidiStackNoService,
  kMidiStackNo32Bit,
  kPortInUse,
  kPortFailed,
  kPortsSame,
  kPortsDiffer,
};

// A kind of finding: its name, whether it is a problem, and what it means in a line.
struct CheckKind {
  CheckId id;
  const char* name;
  Status status;
  const char* meaning;
};
// Every kind, in the order of CheckId.
const std::vector<CheckKind>& checkKinds();
const CheckKind& checkKind(CheckId id);

struct Check {
  Check(CheckId kind, std::optional<Browser> whose, std::string found, std::string todo = "")
      : id(kind), browser(whose), what(std::move(found)), fix(std::move(todo)) {}

  Status status() const { return checkKind(id).status; }

  CheckId id;
  std::optional<Browser> browser;  // none: it concerns every browser (the devices, say)
  std::string what;                // what was found, in a sentence or two
  std::string fix;                 // what to do; empty when nothing needs doing
};

// Whether a port could be opened: MMSYSERR_ALLOCATED (another program holds it) apart from the
// other errors, as the two call for different fixes.
enum class PortState { kOk, kInUse, kFailed };
const char* portStateId(PortState state);  // "ok", "in use", "failed"

// One MIDI port as WinMM shows it, and whether it can be opened now.
struct PortCheck {
  std::string name;
  std::string manufacturer;
  std::string version;
  PortState state = PortState::kOk;
  std::string error;  // the WinMM error's name when it failed
};

// A host program of an installation, as melvixcheck found it.
struct InstalledHost {
  std::filesystem::path path;
  ProgramFile file;
  std::vector<Browser> startedBy;  // the browsers whose manifest names it; none: the other host
  bool answered = false;           // its ["refresh"] came
  std::vector<std::string> outs;
  std::vector<std::string> ins;
};

struct Report {
  std::vector<Check> checks;
  // The hosts the browsers start, each once, and the other host of an installation that has two.
  std::vector<InstalledHost> hosts;
  std::vector<PortCheck> outs;
  std::vector<PortCheck> ins;
  bool traceOn = false;
  std::string traceLog;  // where the trace is written (UTF-8), empty when it has no place

  // Nothing found is a problem.
  bool Ok() const;
};

}  // namespace melvix
