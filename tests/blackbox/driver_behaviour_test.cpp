// The host against drivers that behave as real ones do rather than as a tidy model: input delivered
// late from a queue of the driver's, a bounded delivery queue, a message box nobody answers, an
// output that keeps its buffer, a device that will not close, a coarse clock, and a device list
// that changes between the search for a name and the open. Nothing may crash, hang or reach the
// browser under the wrong port, and every request is answered within a second.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_session.h"
#include "tests/support/json_check.h"
#include "tests/support/program_paths.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

void pause(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// How much longer a bound on a reply's time is under a sanitizer, which slows host and simulation
// alike, several times over on a busy machine.
#ifdef MELVIX_SANITIZED
constexpr long kSlower = 4;
#else
constexpr long kSlower = 1;
#endif

long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

std::optional<MidiFrame> nextMidi(HostSession& host, milliseconds timeout = milliseconds(5000)) {
  auto text = host.nextStartingWith("[\"midi\",", timeout);
  if (!text) return std::nullopt;
  MidiFrame f;
  EXPECT_TRUE(parseMidiFrame(*text, f)) << *text;
  return f;
}

// The "midi" frames set aside so far.
Lines midiSetAside(HostSession& host) {
  Lines out;
  for (const auto& text : host.takeSetAside()) {
    if (text.rfind("[\"midi\",", 0) == 0) out.push_back(text);
  }
  return out;
}

// How long a request takes to be answered, in milliseconds (-1: no answer within 10 s).
long answerTime(HostSession& host, const std::string& json, const std::string& command) {
  const auto start = Clock::now();
  return host.request(json, command) ? msSince(start) : -1;
}

// The devices of one direction ("midiOut" or "midiIn") that the calls leave open.
std::set<std::string> openDevices(const Lines& calls, const std::string& direction) {
  std::set<std::string> open;
  for (const auto& line : calls) {
    const auto quote = line.find('"');
    if (quote == std::string::npos || line.compare(line.size() - 4, 4, "-> 0") != 0) continue;
    const std::string name = line.substr(quote, line.find('"', quote + 1) - quote + 1);
    if (line.rfind(direction + "Open ", 0) == 0) open.insert(name);
    if (line.rfind(direction + "Close ", 0) == 0) open.erase(name);
  }
  return open;
}

std::string hexByte(unsigned char b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", b);
  return text;
}

std::size_t countStartingWith(const Lines& lines, const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

// A driver queues data and delivers it from a thread of its own, and closing the device does not
// empty that queue; a new opening may even get the closed one's handle value. Data of "Keys" that
// comes after it was replaced or closed must not reach the browser as "Pads" data, nor be read
// from the freed buffers it names.
TEST(DriverBehaviour, LateInputOfAClosedDeviceNeverReachesTheCurrentPort) {
  const struct {
    const char* what;
    Lines requests;  // after the late data of "Keys" is on its way
  } cases[] = {
      {"replaced", {R"(["openin","Pads"])"}},
      {"closed, then another opened", {R"(["closein"])", R"(["openin","Pads"])"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HostSession host({"in \"Keys\"", "in \"Pads\"", "late \"Keys\" 400"});
    ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
    host.control("short \"Keys\" 90 3c 64");
    host.control("sysex \"Keys\" f0 7e 7f 06 01 f7");
    pause(20);
    for (const auto& request : c.requests) host.send(request);
    EXPECT_EQ(host.nextStartingWith("[\"openin\","), R"(["openin","Pads"])");
    pause(600);  // the late data has arrived
    host.control("short \"Pads\" 90 3e 64");
    auto note = nextMidi(host);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->bytes, (Bytes{144, 62, 100}));
    host.sync();
    EXPECT_EQ(midiSetAside(host), Lines{});
  }
}

// The input callback runs on the driver's thread; it must never wait, neither for a user nor for
// the browser.
TEST(DriverBehaviour, AMessageBoxNobodyAnswersHoldsUpNeitherInputNorRequests) {
  for (const char* request : {R"(["closein"])", R"(["openin","Pads"])"}) {
    SCOPED_TRACE(request);
    HostSession host({"in \"Keys\"", "in \"Pads\"", "box never"});
    ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
    host.control("error \"Keys\" 3c90");
    const auto shown = Clock::now();
    while (host.boxes().empty() && msSince(shown) < 5000) pause(5);
    ASSERT_EQ(host.boxes(), Lines{"Melvix-Plugin: MIDI message: 3c5"});
    host.send(request);
    EXPECT_GE(answerTime(host, R"(["version"])", "version"), 0);
    EXPECT_LT(msSince(shown), 1000);
  }
  // Input goes on while the box is up.
  HostSession host({"in \"Keys\"", "box never"});
  ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  host.control("error \"Keys\" 3c90");
  host.control("short \"Keys\" 90 3c 64");
  auto note = nextMidi(host, milliseconds(1000));
  ASSERT_TRUE(note);
  EXPECT_EQ(note->bytes, (Bytes{144, 60, 100}));
}

// Wine's driver waits for room in its full delivery queue while it holds the lock that
// midiInAddBuffer needs; a callback that waits for a browser that reads slowly fills that queue.
TEST(DriverBehaviour, ABrowserThatStopsReadingHoldsUpNoDriver) {
  HostSession host({"in \"Keys\"", "ring \"Keys\" 500"});
  ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  std::string sysex = "f0";
  for (int i = 1; i < 255; ++i)
    sysex += " " + std::string(1, "0123456789abcdef"[(i >> 4) & 7]) + "0123456789abcdef"[i & 15];
  sysex += " f7";
  // While nobody reads, at a wire's pace: more system-exclusive data than a pipe holds, then
  // enough short messages to fill the driver's queue, then both; all of it within what the pipe and
  // the host's frame queue hold together (about 120 KB of frames).
  const int kFirst = 80;
  const int kRounds = 20;
  std::string lines = "repeat " + std::to_string(kFirst) + " sysex \"Keys\" " + sysex +
                      "\nrepeat 500 short \"Keys\" 90 3c 01\n";
  for (int i = 0; i < kRounds; ++i) {
    lines += "sysex \"Keys\" " + sysex + "\nrepeat 20 short \"Keys\" 90 3c 01\n";
  }
  host.control(lines + "short \"Keys\" 90 3c 64");
  pause(2500);
  int sysexFrames = 0;
  int shortFrames = 0;
  std::optional<MidiFrame> f;
  while ((f = nextMidi(host)) && f->bytes != Bytes{144, 60, 100}) {
    ++(f->bytes.size() == 256 ? sysexFrames : shortFrames);
  }
  ASSERT_TRUE(f) << sysexFrames << " system-exclusive and " << shortFrames << " short messages";
  EXPECT_EQ(sysexFrames, kFirst + kRounds);
  EXPECT_EQ(shortFrames, 500 + 20 * kRounds);
  EXPECT_GE(answerTime(host, R"(["version"])", "version"), 0);
}

// The driver decides whether a long message goes out before midiOutLongMsg returns. One that keeps
// the buffer is waited for without a core spun; one that keeps it far longer than sending takes is
// reset, and the host serves requests again. The reply to a request that came with the message
// does not wait with it.
TEST(DriverBehaviour, AnOutputThatKeepsItsBufferIsWaitedForWithinAnEnd) {
  const struct {
    const char* device;
    bool reset;
    std::size_t leastAsks = 0;
    const char* clock = "tick 0";
    std::size_t bytes = 6;
  } cases[] = {
      {"hold \"Out\" 200", false},
      {"hold \"Out\" forever", true},
      {"fault out \"Out\" stillplaying", true},
      // With Windows' default tick a Sleep(1) lasts it all: the wait asks for 1 ms meanwhile, so
      // a buffer held 200 ms is asked for many times a tick, whether or not an input is open.
      {"hold \"Out\" 200", false, 40, "tick 50"},
      // A firmware update's length: its wire time (137 s) in 32 bits would wrap to nothing, and
      // the driver be reset after 300 ms in the middle of it.
      {"hold \"Out\" 500", false, 0, "tick 0", 429497},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.device) + ", " + c.clock + ", " + std::to_string(c.bytes));
    HostSession host({"out \"Out\"", c.device, c.clock});
    ASSERT_EQ(host.request(R"(["openout","Out"])", "openout"), R"(["openout","Out"])");
    std::string play = "[\"play\",240";
    std::string received = "\"Out\" long f0";
    for (std::size_t i = 1; i + 1 < c.bytes; ++i) {
      play += "," + std::to_string(i & 0x7F);
      received += ' ' + hexByte(static_cast<unsigned char>(i & 0x7F));
    }
    const auto start = Clock::now();
    host.sendBytes(frame(R"(["version"])") + frame(play + ",247]"));
    EXPECT_TRUE(host.next(milliseconds(150)));
    host.sync();
    // Reading a long message's numbers takes its time too: a millisecond for some 500 of them.
    EXPECT_LT(msSince(start), (1000 + static_cast<long>(c.bytes / 500)) * kSlower);
    EXPECT_EQ(host.received(), Lines{received + " f7"});
    const Lines calls = host.calls();
    EXPECT_EQ(countStartingWith(calls, "midiOutReset"), c.reset ? 1u : 0u);
    // A pause between asks: a few hundred in the time a busy loop makes millions.
    EXPECT_LT(countStartingWith(calls, "midiOutUnprepareHeader"), 500u);
    EXPECT_GE(countStartingWith(calls, "midiOutUnprepareHeader"), c.leastAsks);
    host.send(R"(["play",144,60,100])");
    host.sync();
    EXPECT_EQ(host.received().back(), "\"Out\" short 90 3c 64");
  }
}

// A device whose buffers do not come back, or that refuses to close, stays the host's: it is not
// forgotten open, and the next time it is asked for it is closed and opened again.
TEST(DriverBehaviour, AnInputThatWillNotCloseIsKeptAndClosedLater) {
  const struct {
    const char* fault;
    const char* cured;
  } cases[] = {
      {"fault in \"Keys\" close 1", ""},
      {"fault in \"Keys\" reset", "fault in \"Keys\" reset 0"},
      // A midiInGetID that says an open handle is unknown does not make the host forget it.
      {"fault in \"Keys\" close 1\nfault in \"Keys\" getid", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    HostSession host({"in \"Keys\"", c.fault});
    ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
    host.send(R"(["closein"])");
    host.sync();
    EXPECT_EQ(openDevices(host.calls(), "midiIn"), std::set<std::string>{"\"Keys\""});
    if (*c.cured != 0) host.control(c.cured);
    EXPECT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
    host.control("short \"Keys\" 90 3c 64");
    ASSERT_TRUE(nextMidi(host));
    host.send(R"(["closein"])");
    host.sync();
    EXPECT_EQ(openDevices(host.calls(), "midiIn"), std::set<std::string>{});
    EXPECT_EQ(midiSetAside(host), Lines{});
  }
}

// The default timer steps by several milliseconds; while an input is open the host asks for 1 ms,
// and gives it back when the input closes.
TEST(DriverBehaviour, MidiTimeStampsHaveMillisecondsWhileAnInputIsOpen) {
  HostSession host({"in \"Keys\"", "tick 1000"});
  ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  host.control("short \"Keys\" 90 3c 01");
  auto first = nextMidi(host);
  pause(150);
  host.control("short \"Keys\" 90 3c 02");
  auto second = nextMidi(host);
  ASSERT_TRUE(first && second);
  EXPECT_GE(second->time - first->time, 100u);
  EXPECT_LT(second->time - first->time, 900u);
  host.send(R"(["closein"])");
  host.sync();
  const Lines calls = host.calls();
  EXPECT_EQ(countStartingWith(calls, "timeBeginPeriod 1 -> 0"), 1u);
  EXPECT_EQ(countStartingWith(calls, "timeEndPeriod 1 -> 0"), 1u);
}

// A device plugged in or out between the search for a name and the open shifts the ids; the port
// opened must be the one named, or none. A device opened by mistake that will not close is kept and
// closed later, and opens when it is asked for itself.
TEST(DriverBehaviour, APortOpensUnderItsOwnNameWhenTheListChangesMeanwhile) {
  const struct {
    const char* direction;
    const char* vanishes;
    const char* reply;
    const char* list = "First Keys Pads";
    const char* fault = "";  // for Pads
  } cases[] = {
      {"out", "First", "Keys"},
      {"out", "Keys", ""},
      {"in", "First", "Keys"},
      {"in", "Keys", ""},
      // The id found is past the end of the list by the time it is opened.
      {"out", "First", "Keys", "First Keys"},
      {"in", "First", "Keys", "First Keys"},
      {"in", "First", "Keys", "First Keys Pads", "close 1"},
  };
  for (const auto& c : cases) {
    const std::string d = c.direction;
    SCOPED_TRACE(d + ", " + c.list + ", " + c.vanishes + " vanishes, " + c.fault);
    // Wine's midiInClose frees the handle whatever the driver answers, so a close refused there
    // leaves the driver's device open for good.
    if (*c.fault != 0 && underWine()) continue;
    std::vector<std::string> lines;
    std::istringstream names(c.list);
    for (std::string name; names >> name;) lines.push_back(d + " \"" + name + "\"");
    lines.push_back("onopen remove " + d + " \"" + c.vanishes + "\"");
    if (*c.fault != 0) lines.push_back("fault " + d + " \"Pads\" " + c.fault);
    HostSession host(lines);
    const std::string command = "open" + d;
    EXPECT_EQ(host.request("[\"" + command + "\",\"Keys\"]", command),
              "[\"" + command + "\",\"" + c.reply + "\"]");
    std::set<std::string> expected =
        *c.reply != 0 ? std::set<std::string>{"\"Keys\""} : std::set<std::string>{};
    if (*c.fault != 0) {
      EXPECT_EQ(host.request("[\"" + command + "\",\"Pads\"]", command),
                "[\"" + command + "\",\"Pads\"]");
      expected = {"\"Pads\""};
    }
    EXPECT_EQ(openDevices(host.calls(), d == "out" ? "midiOut" : "midiIn"), expected);
  }
}

}  // namespace

// A USB device pulled out while open and plugged back in: the current ports come back by
// themselves (within 300 ms of the return), whether the browser watches or not, and also when it
// asks for them again, as it does after ["connection"]. Twenty times in a row, every request stays
// fast, no handle of a device that has gone is touched after its first "no such device" but by its
// close, and one whose close is refused (its buffers not back yet) is closed later.
TEST(DriverBehaviour, PortsWhoseDevicesArePulledOutAndPluggedBackWorkAgain) {
  const struct {
    const char* what;
    bool watch;
    bool askAgain;
    int replugs;
    // A note played while the output is away, and one played just after it is back: that one
    // must reach it, though the watcher has not yet looked.
    bool playAround = false;
    const char* closeFault = "";
    // Control lines for the devices as first plugged in.
    const char* first = "";
  } cases[] = {
      {"watching, asked again", true, true, 1},
      {"watching, nothing asked", true, false, 1},
      {"not watching, nothing asked", false, false, 1},
      {"twenty times, asked again each time", false, true, 20},
      {"not watching, played while away and just after", false, false, 1, true},
      {"twenty times, the first close refused each time", false, true, 20, false,
       "fault in \"Keys\" close 1"},
      {"plugged back before its old buffers came back", false, true, 1, false, "",
       "late \"Keys\" 1000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Wine's midiInClose frees the handle whatever the driver answers.
    if (*c.closeFault != 0 && underWine()) continue;
    HostSession host({"in \"Keys\"", "out \"Synth\"", c.first});
    ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
    ASSERT_EQ(host.request(R"(["openout","Synth"])", "openout"), R"(["openout","Synth"])");
    if (c.watch) host.send(R"(["watch"])");
    host.sync();
    for (int i = 0; i < c.replugs; ++i) {
      if (*c.closeFault != 0) host.control(c.closeFault);
      host.control("remove in \"Keys\"\nremove out \"Synth\"");
      pause(150);
      if (c.playAround) {
        host.send(R"(["play",144,61,100])");
        host.sync();
      }
      host.control("in \"Keys\"\nout \"Synth\"");
      if (c.playAround) {
        pause(10);
        host.send(R"(["play",144,63,100])");
        host.sync();
        EXPECT_EQ(host.received(), Lines{"\"Synth\" short 90 3f 64"});
      }
      if (c.askAgain) {
        const auto start = Clock::now();
        EXPECT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
        EXPECT_EQ(host.request(R"(["openout","Synth"])", "openout"), R"(["openout","Synth"])");
        EXPECT_LT(msSince(start), 500 * kSlower) << "replug " << i;
      } else {
        pause(300);
      }
    }
    host.control("short \"Keys\" 90 3c 64");
    auto note = nextMidi(host);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->bytes, (Bytes{144, 60, 100}));
    host.send(R"(["play",144,62,100])");
    host.sync();
    const Lines received = host.received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), "\"Synth\" short 90 3e 64");
    const Lines calls = host.calls();
    for (const char* untouched :
         {"midiInStop \"Keys\" -> 6", "midiInReset \"Keys\" -> 6",
          "midiInUnprepareHeader \"Keys\" -> 6", "midiOutShortMsg \"Synth\" 00007bb0 -> 6"}) {
      EXPECT_EQ(countStartingWith(calls, untouched), 0u) << untouched;
    }
    // Every opening of Keys is closed but the current one.
    EXPECT_EQ(countStartingWith(calls, "midiInOpen 0 \"Keys\" -> 0"),
              countStartingWith(calls, "midiInClose \"Keys\" -> 0") + 1);
  }
}

// Wine's midiInClose frees the handle even when the driver refuses to close, and the next opening
// takes the lowest free value: a close tried again later would hit that opening.
TEST(DriverBehaviour, AHandleFreedByAFailedCloseIsNeverTouchedAgain) {
  HostSession host({"in \"A\"", "in \"B\"", "in \"C\"", "fault in \"A\" closefrees 1"});
  for (const char* name : {"A", "B", "C", "B"}) {
    const std::string reply = "[\"openin\",\"" + std::string(name) + "\"]";
    EXPECT_EQ(host.request("[\"openin\",\"" + std::string(name) + "\"]", "openin"), reply);
  }
  host.control("short \"B\" 90 3c 64");
  auto note = nextMidi(host);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->bytes, (Bytes{144, 60, 100}));
  // A stays open in the driver, which refused to let it go; nothing else is left open.
  EXPECT_EQ(openDevices(host.calls(), "midiIn"), (std::set<std::string>{"\"A\"", "\"B\""}));
}

// Wine's ALSA driver holds the lock midiInAddBuffer needs while it waits for room in its delivery
// queue, which only the thread that runs the input callback empties: the callback must not give
// buffers back itself.
TEST(DriverBehaviour, ADriverThatHoldsItsBufferLockWhileDeliveringIsNeverWaitedFor) {
  HostSession host({"in \"Keys\"", "ring \"Keys\" 1"});
  ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  std::string sysex = "f0";
  for (int i = 1; i < 599; ++i) sysex += i % 2 != 0 ? " 2a" : " 15";
  host.control("repeat 40 sysex \"Keys\" " + sysex + " f7");
  const std::size_t expected = 40 * 600;
  std::size_t bytes = 0;
  while (bytes < expected) {
    auto f = nextMidi(host);
    ASSERT_TRUE(f) << bytes << " of " << expected << " bytes";
    bytes += f->bytes.size();
  }
  EXPECT_EQ(bytes, expected);
  // Closing while the driver pours in more than its queue holds.
  host.control("flood \"Keys\" sysex");
  pause(100);
  host.send(R"(["closein"])");
  EXPECT_GE(answerTime(host, R"(["version"])", "version"), 0);
  host.process().closeInput();
  EXPECT_EQ(host.process().wait(std::chrono::seconds(5)), 0);
}

// 600-byte messages poured into an input while the browser does not read: those that do not fit
// are dropped, each whole. Every message the browser gets complete is exactly as sent.
TEST(DriverBehaviour, ASystemExclusiveMessageTheBrowserGetsIsNeverMissingAPiece) {
  HostSession host({"in \"Keys\""});
  ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  const int kMessages = 250;
  // Message i: F0, i in two 7-bit bytes, then bytes that count on from i, then F7.
  const auto messageOf = [](int i) {
    Bytes m(600);
    m[0] = 0xF0;
    m[1] = static_cast<unsigned char>(i >> 7);
    m[2] = static_cast<unsigned char>(i & 0x7F);
    for (std::size_t k = 3; k + 1 < m.size(); ++k)
      m[k] = static_cast<unsigned char>((i + k) & 0x7F);
    m[599] = 0xF7;
    return m;
  };
  // Poured in batches while the browser reads a little now and then, so that room comes and goes
  // while a message arrives.
  Lines frames;
  for (int batch = 0; batch < kMessages / 10; ++batch) {
    std::string lines;
    for (int i = batch * 10; i < batch * 10 + 10; ++i) {
      lines += "sysex \"Keys\"";
      for (unsigned char b : messageOf(i)) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b);
        lines += hex;
      }
      lines += "\n";
    }
    host.control(lines);
    pause(40);
    for (int k = 0; k < 20; ++k) {
      if (auto text = host.nextStartingWith("[\"midi\",", milliseconds(500)))
        frames.push_back(*text);
    }
  }
  pause(1000);
  host.sync();
  for (const auto& text : midiSetAside(host)) frames.push_back(text);
  int whole = 0;
  Bytes message;
  for (const auto& text : frames) {
    MidiFrame f;
    ASSERT_TRUE(parseMidiFrame(text, f)) << text;
    // No head without its tail: a message is sent whole or not at all.
    if (f.bytes.front() == 0xF0) {
      EXPECT_TRUE(message.empty()) << text;
    }
    message.insert(message.end(), f.bytes.begin(), f.bytes.end());
    if (f.bytes.back() != 0xF7) continue;
    ASSERT_GE(message.size(), 3u);
    const int i = message[1] << 7 | message[2];
    EXPECT_EQ(message, messageOf(i)) << "message " << i;
    ++whole;
    message.clear();
  }
  EXPECT_GT(whole, 0);
  EXPECT_TRUE(message.empty());
  // One whose end never comes, as a driver drops the rest of a message when it has no buffer.
  std::string cut = "sysex \"Keys\" f0";
  for (int k = 0; k < 300; ++k) cut += " 11";
  host.control(cut + "\nshort \"Keys\" 90 3c 64");
  auto note = nextMidi(host);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->bytes, (Bytes{144, 60, 100}));
}

// Any program may ask the driver what ours never do, and Windows' drivers answer it: so must the
// test driver, or a program that asks (Wine's own WinMM tests do) crashes in it. Our probe asks
// through Wine's WinMM; each answer is an MMRESULT unless the question says otherwise.
TEST(DriverBehaviour, TheTestDriverAnswersWhatOurProgramsNeverAskAsWindowsDriversDo) {
  if (!underWine()) GTEST_SKIP() << "the probe asks the test driver through Wine's WinMM";
  const struct {
    const char* question;
    unsigned long answer;
  } rows[] = {
      {"output technology", 1},  // MOD_MIDIPORT
      {"output channel mask", 0xFFFF},
      // No open handle: WinMM passes no instance.
      {"volume by id", 8},           // MMSYSERR_NOTSUPPORTED: a port has no volume
      {"volume by an empty id", 2},  // MMSYSERR_BADDEVICEID
      {"output interface size by id", 8},
      {"volume", 8},
      {"volume into null", 11},  // MMSYSERR_INVALPARAM
      {"output prepare one byte short", 11},
      {"output prepare old size", 0},
      {"output unprepare queued", 65},  // MIDIERR_STILLPLAYING
      {"queued header still prepared", 1},
      // "Probe In" and the one of "Only 32" and "Only 64" served to the probe's bitness.
      {"inputs described", 2},
      {"input prepare old size", 0},
      {"input add buffer old size", 0},
      {"new stack, an empty id", 6},  // MMSYSERR_NODRIVER
      {"new stack, its name is (unavailable)", 1},
      {"new stack, a second unit's name", 1},  // "2- Probe Out"
      {"new stack, an open output opened again", 0},
      {"new stack, a long message that stalls", 1},  // MMSYSERR_ERROR, after a second
      {"new stack, its header still prepared", 1},
      {"new stack, an unplugged input started", 6},
      {"new stack, an unplugged input closed", 65},
  };
  ScratchDir dir;
  writeWholeFile(dir / "control",
                 "out \"Probe Out\"\nin \"Probe In\"\nin \"Only 32\" bits=32\nin \"Only 64\" "
                 "bits=64\n");
  const RunResult run =
      runProgram(programCommand("MELVIX_DRIVER_PROBE"), "", {"MELVIX_SIM_DIR=" + dir.path()});
  EXPECT_EQ(run.status, 0) << run.output;
  std::map<std::string, std::string> answers;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(": ");
    if (colon != std::string::npos) answers[line.substr(0, colon)] = line.substr(colon + 2);
  }
  for (const auto& r : rows) {
    const auto found = answers.find(r.question);
    const std::string answer = found != answers.end() ? found->second : "none";
    EXPECT_EQ(answer, std::to_string(r.answer)) << r.question;
  }
}

namespace {

// The lines of a file the simulation writes whole, once it is there (none after 10 s).
Lines linesOnceWritten(const HostSession& host, const std::string& name) {
  std::ifstream in;
  for (int i = 0; i < 1000 && !in.is_open(); ++i) {
    in.open(host.controlDir() + "/" + name);
    if (!in.is_open()) pause(10);
  }
  Lines out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Buffers that midiInAddBuffer took so far.
std::size_t buffersAdded(const HostSession& host) {
  std::size_t n = 0;
  for (const auto& call : host.calls()) {
    if (call.rfind("midiInAddBuffer ", 0) == 0 && call.size() > 5 &&
        call.compare(call.size() - 5, 5, " -> 0") == 0) {
      ++n;
    }
  }
  return n;
}

// After a timed system-exclusive flood: one time back for every buffer the host gave back (every
// midiInAddBuffer that took one, past the `queued` at the start), none negative; and the driver's
// waits for a buffer, of which at least `cutAtLeast` ended with the rest of a message dropped.
// Returns the longest time back, in milliseconds.
double checkBufferRecords(HostSession& host, std::size_t queued, std::size_t cutAtLeast) {
  const Lines requeued = linesOnceWritten(host, "requeued");
  const Lines waits = linesOnceWritten(host, "waits");
  EXPECT_GT(queued, 1u);
  // The last call's line may follow the records by a moment.
  for (int i = 0; i < 100 && buffersAdded(host) != requeued.size() + queued; ++i) pause(10);
  EXPECT_EQ(buffersAdded(host), requeued.size() + queued);
  double longest = 0;
  for (const auto& ns : requeued) {
    EXPECT_EQ(ns.find_first_not_of("0123456789"), std::string::npos) << ns;
    longest = std::max(longest, std::atof(ns.c_str()) / 1e6);
  }
  std::size_t cut = 0;
  for (const auto& wait : waits) {
    const auto space = wait.find(' ');
    EXPECT_NE(space, std::string::npos) << wait;
    if (space == std::string::npos) continue;
    const std::string outcome = wait.substr(space + 1);
    EXPECT_TRUE(outcome == "filled" || outcome == "dropped") << wait;
    if (outcome == "dropped") ++cut;
  }
  EXPECT_GE(cut, cutAtLeast);
  return longest;
}

// A scenario behind Windows MIDI Services' WinMM layer: the control lines at the start, then what
// is done and checked.
struct NewStackScenario {
  const char* what;
  std::vector<std::string> lines;
  std::function<void(HostSession&)> steps;
};

void runScenarios(const std::vector<NewStackScenario>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HostSession host(c.lines);
    c.steps(host);
  }
}

// Windows MIDI Services' WinMM layer, as the simulation and the test driver play it ("stack new"):
// a long message the device does not take fails after a second, an unplugged input can never be
// closed, a second unit is named "2- Keys", the device count lags behind the list (under Wine the
// test driver's count is its fixed slots, whose empty ones are the "(unavailable)" ones), and
// real-time bytes inside a system-exclusive message come on their own. Every port stays usable, and
// no message is cut but for want of buffers.
TEST(DriverBehaviour, BehindWindowsMidiServicesEveryPortStaysUsable) {
  runScenarios({
      {"a long message that stalls fails, and the port goes on",
       {"stack new", "out \"Out\"", "hold \"Out\" forever"},
       [](HostSession& host) {
         ASSERT_EQ(host.request(R"(["openout","Out"])", "openout"), R"(["openout","Out"])");
         host.send(R"(["play",240,1,2,3,247])");
         EXPECT_TRUE(host.request(R"(["version"])", "version"));
         host.send(R"(["play",144,60,100])");
         host.sync();
         EXPECT_EQ(host.received(), Lines{"\"Out\" short 90 3c 64"});
         EXPECT_EQ(countStartingWith(host.calls(), "midiOutOpen"), 1u);
       }},
      {"an unplugged input that never closes, plugged back",
       {"stack new", "in \"Keys\""},
       [](HostSession& host) {
         ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
         host.control("remove in \"Keys\"");
         pause(100);
         host.control("in \"Keys\"");
         ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
         host.control("short \"Keys\" 90 3c 64");
         const auto note = nextMidi(host);
         ASSERT_TRUE(note);
         EXPECT_EQ(note->bytes, (Bytes{144, 60, 100}));
         // Given up once, and its close tried again only when another input opens.
         pause(500);
         EXPECT_LE(countStartingWith(host.calls(), "midiInClose"), 2u);
       }},
      {"a second unit and a count that lags",
       {"stack new lag 300", "in \"Keys\"", "in \"Keys\"", "in \"Pads\""},
       [](HostSession& host) {
         // The count catches up with the devices plugged in at the start first.
         host.request(R"(["refresh"])", "refresh");
         pause(400);
         host.control("remove in \"Keys\"");
         const auto reply = host.request(R"(["refresh"])", "refresh");
         ASSERT_TRUE(reply);
         EXPECT_NE(reply->find(R"("ins":[{"name":"2- Keys")"), std::string::npos) << *reply;
         EXPECT_NE(reply->find(R"({"name":"Pads")"), std::string::npos) << *reply;
         EXPECT_EQ(reply->find("unavailable"), std::string::npos) << *reply;
         EXPECT_EQ(host.request(R"(["openin","2- Keys"])", "openin"), R"(["openin","2- Keys"])");
       }},
      {"a clock inside a system-exclusive message, and one cut for want of buffers",
       {"stack new", "in \"Keys\""},
       [](HostSession& host) {
         ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
         host.control("sysex \"Keys\" f0 01 f8 02 f7");
         auto clock = nextMidi(host);
         auto message = nextMidi(host);
         ASSERT_TRUE(clock && message);
         EXPECT_EQ(clock->bytes, (Bytes{248, 0, 0}));
         EXPECT_EQ(message->bytes, (Bytes{240, 1, 2, 247}));
         // More than the host's buffers hold at once, less than its frame queue holds back:
         // whole, or, when the driver found no buffer in time and dropped the rest of it, not at
         // all.
         std::string big = "sysex \"Keys\" f0";
         for (int i = 0; i < 70 * 256; ++i) big += " 11";
         host.control(big + " f7\nshort \"Keys\" 90 3c 64");
         Bytes joined;
         for (auto piece = nextMidi(host); piece && piece->bytes.front() != 144;
              piece = nextMidi(host)) {
           joined.insert(joined.end(), piece->bytes.begin(), piece->bytes.end());
         }
         if (!joined.empty()) {
           EXPECT_EQ(joined.size(), 70u * 256 + 2);
         }
       }},
  });
}

// Behind the same layer, a timed flood tells how long the buffers took to come back, and how often
// the driver waited for one in vain.
TEST(DriverBehaviour, BehindWindowsMidiServicesBuffersComeBackInTime) {
  runScenarios({
      {"every buffer of a timed flood timed back to its midiInAddBuffer",
       {"stack new", "in \"Keys\""},
       [](HostSession& host) {
         ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
         const std::size_t queued = buffersAdded(host);
         host.control("flood \"Keys\" sysex 300 timed");
         checkBufferRecords(host, queued, 0);
       }},
      {"buffers refused for 100 ms: late back, and the driver's waits cut messages",
       {"stack new", "in \"Keys\""},
       [](HostSession& host) {
         ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
         const std::size_t queued = buffersAdded(host);
         host.control("fault in \"Keys\" addbuffer\nflood \"Keys\" sysex 300 timed");
         pause(100);
         host.control("fault in \"Keys\" addbuffer 0");
         EXPECT_GE(checkBufferRecords(host, queued, 1), 10.0);
       }},
  });
}

}  // namespace
