// melvixhost: the native-messaging host that gives a browser extension the MIDI devices.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/frame_reader.h"
#include "host/frame_writer.h"
#include "host/input_stand_in.h"
#include "host/request_loop.h"
#include "host/standard_streams.h"
#include "host/text_encoding.h"
#include "host/trace_file.h"
#include "midi/cmidi_win32.h"
#include "midi/input_callback.h"

namespace melvix {

namespace {

// How long what waits for standard output may put the end off.
constexpr std::chrono::milliseconds kFlushLimit{1000};
// How long the trace's last lines may put it off further (a log on a hung network folder must not
// keep the host alive).
constexpr std::chrono::milliseconds kTraceFlushLimit{250};

// How the host was started, for the trace: its program and its whole command line.
std::string startLine(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  WCHAR program[32768];
  const DWORD n = GetModuleFileNameW(nullptr, program, 32768);
  return "start: " + wideToUtf8(wideFromZ(n > 0 && n < 32768 ? program : L"")) + ", version " +
         kHostVersion + ", command line " + wideToUtf8(wideFromZ(GetCommandLineW()));
#else
  std::string line = std::string("start: ") + (argc > 0 ? argv[0] : "") + ", version " +
                     kHostVersion + ", arguments";
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  return line;
#endif
}

// Ends the process at once with `code`, its other threads wherever they are. On Windows the C
// runtime's _Exit is ExitProcess, which after stopping the other threads still runs every DLL's
// detach code (WinMM's, a driver's, the threads library's) over state those threads may have left
// half-changed; terminating skips all of it, as the end of a host must.
[[noreturn]] void endProcessNow(int code) {
#ifdef _WIN32
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
#endif
  std::_Exit(code);
}

// The end of the host, run once, by whichever thread gets there first: the main thread when its
// input ends, or the input's stand-in when the main thread is held up for good. What waits in the
// frame queue goes out for `flushFor` at most, the trace gets a moment for its last lines, and the
// process ends at once: other threads may still be running and nothing must be destroyed under
// them.
[[noreturn]] void endHost(FrameQueue& frames, TraceFile* trace, std::chrono::milliseconds flushFor,
                          const char* why) {
  static std::atomic<bool> ending{false};
  if (ending.exchange(true)) {
    // The other thread is ending the host; this one waits for that.
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  frames.Flush(flushFor);
  if (trace != nullptr) {
    trace->Write(std::string("end: ") + why);
    trace->Flush(kTraceFlushLimit);
  }
  endProcessNow(0);
}

}  // namespace

}  // namespace melvix

using namespace melvix;

int main(int argc, char** argv) {
  useBinaryStandardStreams();

  // The host's parts, in the order they start. None is ever destroyed: the end of input ends the
  // process at once, ports open and threads running, which the system then releases.
  //
  // The trace, only when a user switched it on: the host otherwise writes nowhere but to its
  // standard output.
  TraceFile* trace = nullptr;
  if (traceSwitchedOn() && !traceLogPath().empty()) {
    trace = new TraceFile(traceLogPath(), previousTraceLogPath());
    trace->Write(startLine(argc, argv));
  }
  // The one MIDI system object: it opens the ports, and its construction sets the clock's zero.
  auto* midi = new CMidiWin32();
  // The process's output lock, held for every write to standard output.
  CMidiLock* const outputLock = midi->NewLock().release();
  // Frames leave through standard output, descriptor 1, written straight to it; the C runtime's
  // stream is not used for them.
  auto* output = new FrameWriter(1, outputLock);
  // Every frame waits here, in the order it came; its writer thread, not the driver's, is what a
  // browser that reads slowly holds up.
  auto* frames = new FrameQueue(*output);
  midi->SetMessageSink(frames);
  midi->SetTraceLog(trace);
  // WinMM calls the input callback with nothing but a handle and our instance value: this is how
  // it finds the object.
  setInputCallbackTarget(midi);
  // Requests come from standard input, which this thread reads, and a stand-in while this thread
  // is held up, so that the end of the input is seen whatever happens (input_stand_in.h).
  auto* standIn = new InputStandIn(
      0,
      [frames, trace] {
        endHost(*frames, trace, std::chrono::milliseconds(0),
                "the end of its input, while the browser read nothing");
      },
      [frames] { return frames->MainHeldUp(); }, kFlushLimit);
  FrameReader requests(0);
  requests.ReadThrough(standIn);

  serveRequests(requests, *frames, *midi, trace);

  // The end of input is the browser's way of saying stop. What waits goes out first, for a second
  // at most: a browser that reads nothing must not put the end off.
  endHost(*frames, trace, kFlushLimit, "the end of its input");
}
