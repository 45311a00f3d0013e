// The host's opt-in trace: off unless a user switches it on (melvixcheck --trace on), so that the
// host behaves exactly as it always does. While on, the host appends what it did to a log a user
// can send: its start and end, each request and reply, each WinMM call that failed, each device
// change the watcher saw.
#pragma once

#include <filesystem>
#include <string>

#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

// Takes the trace's lines. Never waits for the disk: called on the main thread, the watcher's and
// the buffer giver's (never on the input callback's).
class TraceLog {
 public:
  virtual ~TraceLog() = default;
  virtual void Write(std::string line) = 0;
  // A WinMM call on the device named `device` answered `result`, not MMSYSERR_NOERROR.
  virtual void Failure(const char* call, const WideString& device, MMRESULT result) = 0;
  // Something that happened to a port: "output added", "input opened again", ...
  virtual void Event(const char* what, const WideString& port) = 0;
};

// Traces a failed call: nothing when `result` is MMSYSERR_NOERROR or no trace is on (`log` null).
inline void traceFailure(TraceLog* log, const char* call, const WideString& device,
                         MMRESULT result) {
  if (log != nullptr && result != MMSYSERR_NOERROR) log->Failure(call, device, result);
}

// Where the switch and the log are. On Windows the switch is the DWORD value "Trace" under
// HKEY_CURRENT_USER\Software\Melvix (non-zero: on), and the log is
// %LOCALAPPDATA%\Melvix\trace.log; elsewhere the environment variable MELVIX_TRACE names the
// folder of the log, and its presence is the switch.
bool traceSwitchedOn();
// Sets or clears the switch; false when it could not be changed (not on Windows: the environment
// variable is the browser's to set).
bool switchTrace(bool on);
// The log, or an empty path when it has no place (no LOCALAPPDATA, no MELVIX_TRACE).
std::filesystem::path traceLogPath();
// The log is renamed to this once it holds 1 MiB, and a new one started.
std::filesystem::path previousTraceLogPath();

}  // namespace melvix
