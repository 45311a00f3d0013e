// "openout", "openin", "play", "closeout" and "closein" as a browser sends them, with the devices
// driven from outside: the names replied, what the devices receive and in which order they are
// opened and closed, the "midi" messages that input brings, and devices that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_session.h"
#include "tests/support/json_check.h"
#include "tests/support/program_paths.h"

namespace {

using Lines = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;

std::string hexLine(const Bytes& bytes) {
  std::string out;
  char text[4];
  for (unsigned char b : bytes) {
    std::snprintf(text, sizeof text, out.empty() ? "%02x" : " %02x", b);
    out += text;
  }
  return out;
}

Bytes sysexOf(std::size_t count, unsigned seed) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>((seed + i) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

Lines since(const Lines& all, std::size_t from) {
  return from >= all.size() ? Lines{} : Lines(all.begin() + static_cast<long>(from), all.end());
}

// Where `line` first occurs in `lines`, or npos.
std::size_t find(const Lines& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? std::string::npos : static_cast<std::size_t>(it - lines.begin());
}

Lines allNotesOffReceived(const std::string& device) {
  Lines out;
  for (int channel = 0; channel < 16; ++channel) {
    char line[80];
    std::snprintf(line, sizeof line, "\"%s\" short b%x 7b 00", device.c_str(), channel);
    out.push_back(line);
  }
  return out;
}

// The last call on a device (the timer's period is no device's).
std::string lastDeviceCall(HostSession& host) {
  Lines calls = host.calls();
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->rfind("midi", 0) == 0) return *it;
  }
  return "";
}

// The lines of one of the simulation's files once it has at least `count` of them (or after 10 s).
Lines waitForLines(HostSession& host, const std::string& file, std::size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    Lines lines = file == "boxes" ? host.boxes() : file == "calls" ? host.calls() : host.received();
    if (lines.size() >= count || std::chrono::steady_clock::now() > deadline) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The frames that came before the next "version" reply: whatever the host wrote unasked or in
// reply to what was sent since the last call. Each must be JSON.
Lines framesUpToNow(HostSession& host) {
  host.sync();
  Lines frames = host.takeSetAside();
  for (const auto& f : frames) EXPECT_TRUE(isJson(f)) << f;
  return frames;
}

// The next "midi" message, parsed.
std::optional<MidiFrame> nextMidi(HostSession& host) {
  auto text = host.nextStartingWith("[\"midi\",");
  if (!text) return std::nullopt;
  MidiFrame f;
  EXPECT_TRUE(parseMidiFrame(*text, f)) << *text;
  return f;
}

TEST(PortCommands, OutputsOpenReplaceAndCloseAndTheReplyNamesTheCurrentPort) {
  HostSession host(
      {"out \"Synth\"", "out \"Twin\"", "out \"Twin\"", "out \"Busy\"", "fault out \"Busy\" open"});
  const struct {
    const char* request;
    const char* reply;   // null: no reply
    const char* opened;  // the midiOutOpen it makes, or null
  } steps[] = {
      {R"(["openout"])", nullptr, nullptr},
      {R"(["openout",""])", R"(["openout",""])", nullptr},
      {R"(["openout","Nothing"])", R"(["openout",""])", nullptr},
      {R"(["openout","Twin"])", R"(["openout","Twin"])", "midiOutOpen 1 \"Twin\" -> 0"},
      {R"(["openout","Twin"])", R"(["openout","Twin"])", nullptr},
      {R"(["openout","Busy"])", R"(["openout","Twin"])", "midiOutOpen 3 \"Busy\" -> 4"},
      {R"(["openout",5])", R"(["openout","Twin"])", nullptr},
      {R"(["openout","twin"])", R"(["openout","Twin"])", nullptr},
      {R"(["openout"," Twin"])", R"(["openout","Twin"])", nullptr},
  };
  for (const auto& step : steps) {
    std::size_t callsBefore = host.calls().size();
    host.send(step.request);
    Lines frames = framesUpToNow(host);
    EXPECT_EQ(frames, step.reply ? Lines{step.reply} : Lines{}) << step.request;
    Lines opens;
    for (const auto& line : since(host.calls(), callsBefore)) {
      if (line.rfind("midiOutOpen", 0) == 0) opens.push_back(line);
    }
    EXPECT_EQ(opens, step.opened ? Lines{step.opened} : Lines{}) << step.request;
  }
  // The failed open left "Twin" playing; a request for the open port silenced nothing.
  host.send(R"(["play",144,60,100])");
  framesUpToNow(host);
  EXPECT_EQ(host.received(), Lines{"\"Twin\" short 90 3c 64"});

  // Replacing: the new device opens, then the old one is silenced and closed.
  std::size_t callsBefore = host.calls().size();
  EXPECT_EQ(host.request(R"(["openout","Synth"])", "openout"), R"(["openout","Synth"])");
  Lines calls = since(host.calls(), callsBefore);
  std::size_t opened = find(calls, "midiOutOpen 0 \"Synth\" -> 0");
  std::size_t firstOff = find(calls, "midiOutShortMsg \"Twin\" 00007bb0 -> 0");
  std::size_t lastOff = find(calls, "midiOutShortMsg \"Twin\" 00007bbf -> 0");
  std::size_t closed = find(calls, "midiOutClose \"Twin\" -> 0");
  ASSERT_NE(closed, std::string::npos);
  EXPECT_LT(opened, firstOff);
  EXPECT_LT(firstOff, lastOff);
  EXPECT_LT(lastOff, closed);
  Lines expected = {"\"Twin\" short 90 3c 64"};
  for (const auto& line : allNotesOffReceived("Twin")) expected.push_back(line);
  EXPECT_EQ(host.received(), expected);

  // Closing silences and closes; closing again does nothing; neither replies.
  host.send(R"(["closeout"])");
  EXPECT_TRUE(framesUpToNow(host).empty());
  for (const auto& line : allNotesOffReceived("Synth")) expected.push_back(line);
  EXPECT_EQ(host.received(), expected);
  EXPECT_EQ(host.calls().back(), "midiOutClose \"Synth\" -> 0");
  std::size_t callsAfterClose = host.calls().size();
  host.send(R"(["closeout"])");
  host.send(R"(["play",144,60,100])");
  EXPECT_TRUE(framesUpToNow(host).empty());
  EXPECT_EQ(host.calls().size(), callsAfterClose);
  EXPECT_EQ(host.request(R"(["openout","Synth"])", "openout"), R"(["openout","Synth"])");
}

TEST(PortCommands, PlaySendsItsNumbersAsOneMessageOfTheirLowBytes) {
  HostSession host({"out \"Out\""});
  const struct {
    const char* request;
    const char* received;
  } cases[] = {
      {R"(["play",144,60,100])", "\"Out\" short 90 3c 64"},
      {R"(["play",144,60,127,128,60,0])", "\"Out\" long 90 3c 7f 80 3c 00"},
      {R"(["play"])", "\"Out\" short 00 00 00"},
      {R"(["play",400,"x",60])", "\"Out\" short 90 00 3c"},
      {R"(["play",4294967295,256,65535])", "\"Out\" short ff 00 ff"},
      {R"(["play",240,126,247])", "\"Out\" short f0 7e f7"},
      {R"(["play",240,126,127,247])", "\"Out\" long f0 7e 7f f7"},
      {R"(["play",248])", "\"Out\" short f8 00 00"},
  };
  // With no output open nothing is sent.
  for (const auto& c : cases) host.send(c.request);
  EXPECT_TRUE(framesUpToNow(host).empty());
  EXPECT_TRUE(host.received().empty());
  ASSERT_EQ(host.request(R"(["openout","Out"])", "openout"), R"(["openout","Out"])");
  for (const auto& c : cases) {
    std::size_t before = host.received().size();
    host.send(c.request);
    EXPECT_TRUE(framesUpToNow(host).empty()) << c.request;
    EXPECT_EQ(since(host.received(), before), Lines{c.received}) << c.request;
  }
}

TEST(PortCommands, PlayWithAHundredThousandNumbersSendsThemAllAsOneLongMessage) {
  HostSession host({"out \"Out\""});
  ASSERT_EQ(host.request(R"(["openout","Out"])", "openout"), R"(["openout","Out"])");
  Bytes bytes(100000);
  std::string request = "[\"play\"";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(i * 31 + 7);
    request += "," + std::to_string(bytes[i] + 256 * (i % 3));
  }
  request += "]";
  host.send(request);
  EXPECT_TRUE(framesUpToNow(host).empty());
  EXPECT_EQ(host.received(), Lines{"\"Out\" long " + hexLine(bytes)});
}

TEST(PortCommands, InputsOpenReplaceAndCloseAndOnlyTheCurrentOneIsHeard) {
  HostSession host(
      {"in \"Keys\"", "in \"Twin\"", "in \"Twin\"", "in \"Busy\"", "fault in \"Busy\" open"});
  const struct {
    const char* request;
    const char* reply;
  } steps[] = {
      {R"(["openin"])", nullptr},
      {R"(["openin",""])", R"(["openin",""])"},
      {R"(["openin","Nothing"])", R"(["openin",""])"},
      {R"(["openin","Keys"])", R"(["openin","Keys"])"},
      {R"(["openin","Keys"])", R"(["openin","Keys"])"},
      {R"(["openin","Busy"])", R"(["openin","Keys"])"},
      {R"(["openin",7])", R"(["openin","Keys"])"},
  };
  for (const auto& step : steps) {
    host.send(step.request);
    EXPECT_EQ(framesUpToNow(host), step.reply ? Lines{step.reply} : Lines{}) << step.request;
  }
  // Only "Keys" and "Busy" were tried.
  Lines all = host.calls();
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& l) { return l.rfind("midiInOpen", 0) == 0; }),
            2);
  host.control("short \"Keys\" 90 3c 64");
  auto note = nextMidi(host);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->bytes, (Bytes{144, 60, 100}));

  // Replacing: the new device opens, the old one is stopped, reset, emptied and closed, and only
  // then does the new one start.
  std::size_t callsBefore = host.calls().size();
  EXPECT_EQ(host.request(R"(["openin","Twin"])", "openin"), R"(["openin","Twin"])");
  Lines calls = since(host.calls(), callsBefore);
  Lines order = {"midiInOpen 1 \"Twin\" -> 0", "midiInStop \"Keys\" -> 0",
                 "midiInReset \"Keys\" -> 0", "midiInClose \"Keys\" -> 0",
                 "midiInStart \"Twin\" -> 0"};
  std::size_t last = 0;
  for (const auto& line : order) {
    std::size_t at = find(calls, line);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_GE(at, last) << line;
    last = at;
  }
  // Every buffer the port prepared is taken back.
  const auto prepared = std::count(all.begin(), all.end(), "midiInPrepareHeader \"Keys\" 256 -> 0");
  EXPECT_GT(prepared, 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "midiInUnprepareHeader \"Keys\" -> 0"),
            prepared);
  host.control("short \"Keys\" 90 3d 64");
  host.control("short \"Twin\" 90 3e 64");
  note = nextMidi(host);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->bytes, (Bytes{144, 62, 100}));

  host.send(R"(["closein"])");
  EXPECT_TRUE(framesUpToNow(host).empty());
  EXPECT_EQ(lastDeviceCall(host), "midiInClose \"Twin\" -> 0");
  host.control("short \"Twin\" 90 3f 64");
  host.send(R"(["closein"])");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(framesUpToNow(host).empty());
}

TEST(PortCommands, InputArrivesAsMidiMessagesWithItsBytesAndAGrowingClock) {
  HostSession host({"in \"Keys\""});
  ASSERT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  const struct {
    const char* control;
    Bytes bytes;
  } shorts[] = {
      {"short \"Keys\" 90 3c 64", {144, 60, 100}},
      {"short \"Keys\" f8", {248, 0, 0}},
      {"short \"Keys\" c5 07", {197, 7, 0}},
      {"short \"Keys\" e0 00 40", {224, 0, 64}},
  };
  for (const auto& s : shorts) {
    host.control(s.control);
    auto f = nextMidi(host);
    ASSERT_TRUE(f) << s.control;
    EXPECT_EQ(f->bytes, s.bytes) << s.control;
  }
  for (std::size_t size : {6u, 256u, 300u, 4000u}) {
    Bytes sent = sysexOf(size, static_cast<unsigned>(size));
    host.control("sysex \"Keys\" " + hexLine(sent));
    Bytes got;
    std::vector<std::size_t> pieces;
    while (got.size() < sent.size()) {
      auto f = nextMidi(host);
      ASSERT_TRUE(f) << size << " bytes, " << got.size() << " so far";
      pieces.push_back(f->bytes.size());
      got.insert(got.end(), f->bytes.begin(), f->bytes.end());
    }
    EXPECT_EQ(got, sent) << size << " bytes";
    // One message per buffer of 256 bytes.
    EXPECT_EQ(pieces.size(), (size + 255) / 256) << size << " bytes";
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) EXPECT_EQ(pieces[i], 256u) << size;
  }
  host.control("short \"Keys\" 90 3c 01");
  auto first = nextMidi(host);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  host.control("short \"Keys\" 90 3c 02");
  auto second = nextMidi(host);
  ASSERT_TRUE(first && second);
  EXPECT_GE(second->time - first->time, 100u);
  EXPECT_LT(second->time - first->time, 10000u);
  EXPECT_TRUE(framesUpToNow(host).empty());
}

TEST(PortCommands, MisbehavingDevicesCostNoCrashAndNoOtherReply) {
  HostSession host({"out \"Out\"", "in \"Keys\"", "in \"Gone\"", "fault out \"Out\" longmsg 2",
                    "fault in \"Keys\" start 1"});
  // An output that refuses long messages: nothing reaches it, nothing is said, and it recovers.
  ASSERT_EQ(host.request(R"(["openout","Out"])", "openout"), R"(["openout","Out"])");
  host.send(R"(["play",240,1,2,3,4,247])");
  host.send(R"(["play",240,1,2,3,4,247])");
  host.send(R"(["play",240,5,6,7,8,247])");
  EXPECT_TRUE(framesUpToNow(host).empty());
  EXPECT_EQ(host.received(), Lines{"\"Out\" long f0 05 06 07 08 f7"});

  // An input that cannot start would be deaf: it is closed again at once, the reply says that no
  // input is current, and asked again it opens.
  EXPECT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin",""])");
  EXPECT_TRUE(framesUpToNow(host).empty());
  EXPECT_EQ(lastDeviceCall(host), "midiInClose \"Keys\" -> 0");
  EXPECT_EQ(host.request(R"(["openin","Keys"])", "openin"), R"(["openin","Keys"])");
  host.control("short \"Keys\" 90 3c 64");
  ASSERT_TRUE(nextMidi(host));

  // A device that vanishes between listing and opening.
  auto list = host.request(R"(["refresh"])", "refresh");
  ASSERT_TRUE(list);
  EXPECT_NE(list->find("\"Gone\""), std::string::npos);
  host.control("remove in \"Gone\"");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(host.request(R"(["openin","Gone"])", "openin"), R"(["openin","Keys"])");
  // An output that vanishes while open: playing to it and closing it are quiet.
  host.control("remove out \"Out\"");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  host.send(R"(["play",144,60,100])");
  host.send(R"(["play",240,1,2,3,4,247])");
  host.send(R"(["closeout"])");
  EXPECT_TRUE(framesUpToNow(host).empty());

  // Unexpected driver messages show the box and send nothing; long errors do not use up the
  // input's buffers.
  host.control("error \"Keys\" 643c90");
  for (int i = 0; i < 6; ++i) host.control("longerror \"Keys\" f0 01 02");
  Bytes sent = sysexOf(300, 1);
  host.control("sysex \"Keys\" " + hexLine(sent));
  Bytes got;
  while (got.size() < sent.size()) {
    auto f = nextMidi(host);
    ASSERT_TRUE(f);
    got.insert(got.end(), f->bytes.begin(), f->bytes.end());
  }
  EXPECT_EQ(got, sent);
  // The boxes go up one after the other on a thread of their own.
  if (boxesRecorded()) {
    Lines boxes = waitForLines(host, "boxes", 7);
    ASSERT_EQ(boxes.size(), 7u);
    EXPECT_EQ(boxes[0], "Melvix-Plugin: MIDI message: 3c5");
    EXPECT_EQ(boxes[6], "Melvix-Plugin: MIDI message: 3c6");
  }
  EXPECT_TRUE(framesUpToNow(host).empty());
  host.process().closeInput();
  EXPECT_EQ(host.process().wait(std::chrono::seconds(10)), 0);
}

TEST(PortCommands, TheEmbeddedLoopbackPairBringsPlayedNotesBackAsInput) {
  HostSession host({}, false);
  EXPECT_EQ(host.request(R"(["openout","Melvix Loopback"])", "openout"),
            R"(["openout","Melvix Loopback"])");
  EXPECT_EQ(host.request(R"(["openin","Melvix Loopback"])", "openin"),
            R"(["openin","Melvix Loopback"])");
  host.send(R"(["play",144,60,100])");
  auto note = host.nextStartingWith("[\"midi\",");
  ASSERT_TRUE(note);
  MidiFrame f;
  ASSERT_TRUE(parseMidiFrame(*note, f)) << *note;
  EXPECT_EQ(*note, "[\"midi\"," + std::to_string(f.time) + ",144,60,100]");
  host.send(R"(["play",240,126,127,6,1,247])");
  auto sysex = nextMidi(host);
  ASSERT_TRUE(sysex);
  EXPECT_EQ(sysex->bytes, (Bytes{240, 126, 127, 6, 1, 247}));
  EXPECT_GE(sysex->time, f.time);
}

}  // namespace
