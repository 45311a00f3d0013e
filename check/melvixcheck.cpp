// melvixcheck: tells a user why a browser cannot reach the Melvix MIDI host or a MIDI device, by
// doing what the browser does: finding the host's manifest where each browser looks, reading it,
// starting the host as the browser starts it, and opening each device.
//
//   melvixcheck              a report to read; exit code 0: all in order, 1: a problem
//   melvixcheck --json       the same findings as one JSON object
//   melvixcheck --trace on   switches the host's trace on (off: off) and says where it is
//   melvixcheck --pause      waits for a key before it ends (for a window of its own)
//   melvixcheck --list-checks  every kind of finding by its id, with what it means
// Exit code 2: wrong arguments.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "check/browser_checks.h"
#include "check/findings.h"
#include "check/manifest_check.h"
#include "check/midi_stack.h"
#include "check/port_check.h"
#include "check/registry.h"
#include "check/report.h"
#include "midi/trace_log.h"

#ifdef _WIN32
#include <conio.h>
#endif

namespace melvix {

namespace {

constexpr int kWrongArguments = 2;

const char kUsage[] =
    "usage: melvixcheck [--json] [--pause]\n"
    "       melvixcheck --trace on|off\n"
    "       melvixcheck --list-checks\n";

void add(Report& report, const std::vector<Check>& checks) {
  report.checks.insert(report.checks.end(), checks.begin(), checks.end());
}

// One line per kind: its id, whether it is a problem, a warning or in order, and its meaning.
void listChecks() {
  std::size_t width = 0;
  for (const CheckKind& kind : checkKinds()) width = std::max(width, std::strlen(kind.name));
  std::string text;
  for (const CheckKind& kind : checkKinds()) {
    const std::string status = statusId(kind.status);
    text += kind.name + std::string(width + 2 - std::strlen(kind.name), ' ') + status +
            std::string(9 - status.size(), ' ') + kind.meaning + "\n";
  }
  printText(text);
}

int switchTraceCommand(const char* how) {
  const bool on = std::strcmp(how, "on") == 0;
  if (!on && std::strcmp(how, "off") != 0) {
    std::fputs(kUsage, stderr);
    return kWrongArguments;
  }
  if (!switchTrace(on)) {
    printText(
        "The trace is switched by the environment variable MELVIX_TRACE (the folder of its "
        "log) in the browser's environment here.\n");
    return 1;
  }
  printText(on ? "The trace is on: the host writes it to " + pathText(traceLogPath()) +
                     " from its next start.\n"
               : "The trace is off.\n");
  return 0;
}

}  // namespace

}  // namespace melvix

using namespace melvix;

int main(int argc, char** argv) {
  bool json = false;
  bool pause = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--pause") == 0) {
      pause = true;
    } else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc && argc == 3) {
      return switchTraceCommand(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--list-checks") == 0 && argc == 2) {
      listChecks();
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return kWrongArguments;
    }
  }
  Report report;
  add(report, checkMidiStack(*systemRegistry(), midiServiceRunning()));
  const PortScan ports = checkPorts();
  add(report, checkBrowsers(*systemRegistry(), ports, &report.hosts));
  add(report, ports.findings);
  report.outs = ports.outs;
  report.ins = ports.ins;
  report.traceOn = traceSwitchedOn();
  report.traceLog = pathText(traceLogPath());
  printText(json ? reportJson(report) : reportText(report));
  if (pause) {
    printText("\nPress a key to close this window.\n");
#ifdef _WIN32
    _getch();
#else
    std::getchar();
#endif
  }
  return report.Ok() ? 0 : 1;
}
