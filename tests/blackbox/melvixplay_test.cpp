// melvixplay as a person runs it: text on standard input, MIDI out of simulated output 0, nothing
// printed, exit code 0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/program_paths.h"
#include "tests/support/scratch_dir.h"

namespace {

const char kSynth[] = "out \"Synth 0\"\n";

struct PlayResult {
  int status = -1;
  std::string out;
  std::string err;
  std::string received;  // what "Synth 0" was sent, shortened by receivedTrace
  std::string calls;     // the WinMM calls, shortened by callTrace
};

// ""Synth 0" short 90 3c 7f" lines -> "short 90 3c 7f, ..."; other devices keep their names.
std::string receivedTrace(const std::string& log) {
  const std::string device = "\"Synth 0\" ";
  std::istringstream in(log);
  std::string trace;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(device, 0) == 0) line.erase(0, device.size());
    trace += (trace.empty() ? "" : ", ") + line;
  }
  return trace;
}

// "midiOutUnprepareHeader "Synth 0" -> 65" -> "UnprepareHeader=65"; a result of 0 is left out,
// and so are capability queries, which Wine's MIDI mapper makes itself when WinMM starts.
std::string callTrace(const std::string& log) {
  std::istringstream in(log);
  std::string trace;
  for (std::string line; std::getline(in, line);) {
    std::string name = line.substr(0, line.find(' '));
    if (name == "midiOutGetDevCapsW") continue;
    if (name.rfind("midiOut", 0) == 0) name = name.substr(7);
    const std::string result = line.substr(line.rfind(' ') + 1);
    if (!trace.empty()) trace += ' ';
    trace += name + (result == "0" ? "" : "=" + result);
  }
  return trace;
}

// Runs melvixplay with `control` as the simulated devices' control file. Standard error goes to a
// file for the time of the run, so that the test can tell nothing was printed there either.
// `prefix` goes before the program on its command line (a shell that limits it, for example).
PlayResult play(const std::string& control, const std::string& input,
                const std::vector<std::string>& prefix = {}) {
  ScratchDir dir;
  writeWholeFile(dir / "control", control);
  std::vector<std::string> argv = prefix;
  for (const auto& word : programCommand("MELVIX_PLAY")) argv.push_back(word);

  std::FILE* errFile = std::tmpfile();
  if (errFile == nullptr) throw std::runtime_error("tmpfile failed");
  std::fflush(stderr);
  const int savedErr = dup(2);
  dup2(fileno(errFile), 2);
  RunResult run = runProgram(argv, input, {"MELVIX_SIM_DIR=" + dir.path()});
  dup2(savedErr, 2);
  close(savedErr);

  PlayResult result{run.status, run.output, "", "", ""};
  std::rewind(errFile);
  for (int c; (c = std::fgetc(errFile)) != EOF;) result.err.push_back(static_cast<char>(c));
  std::fclose(errFile);
  result.received = receivedTrace(readWholeFile(dir / "received").value_or(""));
  result.calls = callTrace(readWholeFile(dir / "calls").value_or(""));
  return result;
}

class Melvixplay : public ::testing::Test {};

// After a failed open, WinMM itself refuses the calls on the handle that never was; only the
// simulation, which is WinMM there, records them, and the timer period too.
std::string callsRecorded(std::string calls) {
  if (!underWine()) return calls;
  if (calls.rfind("Open=", 0) == 0) return calls.substr(0, calls.find(' '));
  for (const char* timer : {" timeBeginPeriod", " timeEndPeriod"}) {
    for (auto at = calls.find(timer); at != std::string::npos; at = calls.find(timer)) {
      calls.erase(at, std::string(timer).size());
    }
  }
  return calls;
}

struct PlayCase {
  const char* what;
  std::string input;
  std::string received;
  std::string calls = "";  // checked when given
  std::string control = kSynth;
  int status = 0;
  std::string notInCalls = "";  // checked when given
};

TEST_F(Melvixplay, PlaysTheCommandsItReads) {
  const std::string prepareFails = std::string(kSynth) + "fault out \"Synth 0\" prepare 1\n";
  const std::string stillPlaying = std::string(kSynth) + "fault out \"Synth 0\" stillplaying 3\n";
  const std::string neverDone = std::string(kSynth) + "fault out \"Synth 0\" stillplaying\n";
  const std::string heldAWhile = std::string(kSynth) + "hold \"Synth 0\" 500\n";
  // A firmware update's length: its 137 s on the wire, figured in 32 bits, would wrap to nothing.
  std::string update = "l 68db9";
  std::string updateSent = "long";
  for (int i = 0; i < 0x68db9; ++i) update += " 1", updateSent += " 01";
  const std::vector<PlayCase> cases = {
      {"a note and an exclusive", "m 7f3c90\nl 6 f0 7e 7f 09 01 f7\n",
       "short 90 3c 7f, long f0 7e 7f 09 01 f7",
       "Open ShortMsg PrepareHeader LongMsg UnprepareHeader Reset Close"},
      {"no input at all", "", "", "Open Reset Close"},
      {"a number ends at a non-digit", "m90\n", "short 90 00 00"},
      {"the low 8 bits of each byte", "l 3 100 1ff 2", "long 00 ff 02"},
      {"the count is hexadecimal", "l 10 0 1 2 3 4 5 6 7 8 9 a b c d e f",
       "long 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"},
      {"0x prefixes and capital digits", "m 0X7F3C90 m 0x7f3c80 m 7F3C90 l 2 0XF7 0xAb",
       "short 90 3c 7f, short 80 3c 7f, short 90 3c 7f, long f7 ab"},
      {"a sign, as scanf reads it", "m -1 l 2 +90 -0", "short ff ff ff, long 90 00"},
      {"numbers over lines", "l\n3\r\n\n f0\n\t7e\r\nf7m\n\n7f3c90",
       "long f0 7e f7, short 90 3c 7f"},
      {"capital M and L, other text", "M 7f3c90\nL 1 90\n9 0 x  \n", "", "Open Reset Close"},
      {"text between commands", "9 m 90 zz m 80 3c\n", "short 90 00 00, short 80 00 00"},
      {"no bytes", "l 0", "long ", "Open PrepareHeader LongMsg UnprepareHeader Reset Close"},
      {"a long message goes out before the next command is read", "l 2 1 2 m 90",
       "long 01 02, short 90 00 00",
       "Open PrepareHeader LongMsg UnprepareHeader ShortMsg Reset Close"},

      // A command whose number is missing is dropped, never sent with an old value.
      {"m at the end", "m 90 m", "short 90 00 00"},
      {"m before a non-number", "m 90 m zz", "short 90 00 00"},
      {"the non-number is the next command", "m m 7f3c90", "short 90 3c 7f"},
      {"l without a count", "l zz m 90", "short 90 00 00"},
      {"l cut short by the end", "l 2 1 2 l 3 1 2", "long 01 02",
       "Open PrepareHeader LongMsg UnprepareHeader Reset Close"},
      {"l cut short by a non-number", "l 3 1 2 x 3 m 90", "short 90 00 00",
       "Open ShortMsg Reset Close"},
      {"a huge count with few bytes", "l ffffffff 1 2", "", "Open Reset Close"},

      {"a refused header skips the message", "l 2 1 2 l 2 3 4", "long 03 04",
       "Open PrepareHeader=7 PrepareHeader LongMsg UnprepareHeader Reset Close", prepareFails},
      // A millisecond between asks, not a timer tick: the 1 ms period is asked for meanwhile.
      {"the buffer is asked back until it is free", "l 1 90", "long 90",
       "Open PrepareHeader LongMsg UnprepareHeader=65 timeBeginPeriod UnprepareHeader=65 "
       "UnprepareHeader=65 UnprepareHeader timeEndPeriod Reset Close",
       stillPlaying},
      {"a device that never gives the buffer back is reset, and play goes on", "l 1 90 m 90",
       "long 90, short 90 00 00", "", neverDone},
      {"a long message the device plays for a while is not reset in the middle", update, updateSent,
       "", heldAWhile, 0, "Reset UnprepareHeader"},
      {"0x1A is skipped like any other character", "m 7f3c90\x1a m 7f3e90",
       "short 90 3c 7f, short 90 3e 7f"},
      {"no device 0: every call fails, and the exit code says so", "m 7f3c90 l 1 90", "",
       "Open=2 ShortMsg=5 PrepareHeader=5 Reset=5 Close=5", "", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + "; input: " + c.input.substr(0, 200));
    PlayResult r = play(c.control, c.input);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.received, c.received);
    if (!c.calls.empty()) {
      EXPECT_EQ(r.calls, callsRecorded(c.calls));
    }
    if (!c.notInCalls.empty()) {
      EXPECT_EQ(r.calls.find(c.notInCalls), std::string::npos) << r.calls.substr(0, 300);
    }
  }
}

// An address-space limit makes an allocation of the announced count fail, where it would
// otherwise be reserved and never touched. Sanitizers reserve far more than the limit themselves.
TEST_F(Melvixplay, AHugeCountAllocatesOnlyWhatArrives) {
#ifdef MELVIX_SANITIZED
  GTEST_SKIP() << "sanitizers need more address space than the limit";
#endif
  const std::vector<std::string> limited = {"/bin/sh", "-c", "ulimit -v 262144 && exec \"$@\"",
                                            "sh"};
  for (const char* input : {"l ffffffff 1 2", "l 80000000 1 2 3 4 5 6 7 8 9", "l 7fffffff"}) {
    SCOPED_TRACE(input);
    PlayResult r = play(kSynth, input, limited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.received, "");
    EXPECT_EQ(r.calls, "Open Reset Close");
  }
}

}  // namespace
