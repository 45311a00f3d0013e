// The host under load, run as a browser runs it: inputs opened, replaced and closed over and over
// while both simulated inputs produce data as fast as it is taken, and three writers of frames at
// once. Nothing may crash, hang or garble a frame. The sanitizer builds run the same tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/host_session.h"
#include "tests/support/json_check.h"

namespace {

using Clock = std::chrono::steady_clock;

// MELVIX_STRESS_CYCLES overrides the number of cycles, for a quick look by hand.
int stressCycles() {
  const char* value = std::getenv("MELVIX_STRESS_CYCLES");
  if (value != nullptr && *value != 0) {
    int n = std::atoi(value);
    if (n > 0) return n;
  }
  return 10000;
}

// The host's frames read in large pieces: under load there are a million of them, and reading
// each length and text on its own would make the reader, not the host, the bottleneck.
class FrameStream {
 public:
  explicit FrameStream(ChildProcess& host) : host_(host) {}

  std::optional<std::string> next(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
      if (buffer_.size() - at_ >= 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(buffer_[at_ + i]);
        if (buffer_.size() - at_ - 4 >= n) {
          std::string text = buffer_.substr(at_ + 4, n);
          at_ += 4 + n;
          return text;
        }
      }
      if (Clock::now() >= deadline) return std::nullopt;
      buffer_.erase(0, at_);
      at_ = 0;
      buffer_ += host_.read(1 << 16, std::chrono::milliseconds(2));
    }
  }

 private:
  ChildProcess& host_;
  std::string buffer_;
  std::size_t at_ = 0;
};

// Each frame must be JSON of a sane size; a "midi" message must have the exact form, which is
// also JSON.
void checkFrame(const std::string& text, int cycle) {
  ASSERT_LT(text.size(), 1u << 16) << "cycle " << cycle;
  if (text.rfind("[\"midi\",", 0) == 0) {
    MidiFrame f;
    ASSERT_TRUE(parseMidiFrame(text, f)) << "cycle " << cycle << ": " << text;
  } else {
    ASSERT_TRUE(isJson(text)) << "cycle " << cycle << ": " << text;
  }
}

TEST(PortStress, InputsReplacedAndClosedTenThousandTimesWhileBothPourInData) {
  HostSession host(
      {"in \"A\"", "in \"B\"", "out \"Out\"", "flood \"A\" mixed", "flood \"B\" mixed"});
  const int cycles = stressCycles();
  const std::string oneCycle = frame(R"(["openin","A"])") + frame(R"(["openin","B"])") +
                               frame(R"(["openout","Out"])") + frame(R"(["closeout"])") +
                               frame(R"(["closein"])");
  const std::vector<std::string> replies = {R"(["openin","A"])", R"(["openin","B"])",
                                            R"(["openout","Out"])"};
  // Small batches keep the requests well inside the pipe, so writing them never waits for the
  // host, which may itself be waiting for us to read its output.
  constexpr int kBatch = 20;
  FrameStream frames(host.process());
  auto started = Clock::now();
  long midiMessages = 0;
  long sysexMessages = 0;
  for (int done = 0; done < cycles;) {
    const int n = std::min(kBatch, cycles - done);
    std::string batch;
    for (int i = 0; i < n; ++i) batch += oneCycle;
    host.sendBytes(batch);
    for (std::size_t seen = 0; seen < replies.size() * static_cast<std::size_t>(n);) {
      auto text = frames.next(std::chrono::seconds(60));
      ASSERT_TRUE(text) << "no frame for 60 s near cycle " << done;
      checkFrame(*text, done);
      if (text->rfind("[\"midi\",", 0) == 0) {
        ++midiMessages;
        MidiFrame f;
        if (parseMidiFrame(*text, f) && f.bytes[0] == 0xF0) ++sysexMessages;
        continue;
      }
      ASSERT_EQ(*text, replies[seen % replies.size()]) << "near cycle " << done;
      ++seen;
    }
    done += n;
  }
  // Everything is closed: what is left comes before the version reply, and input's end ends the
  // host.
  host.send(R"(["version"])");
  for (;;) {
    auto text = frames.next(std::chrono::seconds(60));
    ASSERT_TRUE(text) << "no version reply";
    checkFrame(*text, cycles);
    if (text->rfind("[\"version\",", 0) == 0) break;
  }
  host.process().closeInput();
  EXPECT_EQ(host.process().wait(std::chrono::seconds(30)), 0);
  auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("%d cycles in %.1f s with %ld midi messages, %ld opening system-exclusive data\n",
              cycles, seconds, midiMessages, sysexMessages);
  EXPECT_GT(sysexMessages, 0);
  EXPECT_GT(midiMessages, sysexMessages);

  // Every device was closed with all its buffers back.
  long closes = 0;
  for (const auto& line : host.calls()) {
    if (line.rfind("midiInClose", 0) == 0 || line.rfind("midiInUnprepareHeader", 0) == 0) {
      EXPECT_NE(line.find("-> 0"), std::string::npos) << line;
      closes += line.rfind("midiInClose", 0) == 0;
    }
  }
  EXPECT_EQ(closes, 2L * cycles);
  EXPECT_TRUE(host.boxes().empty());
}

TEST(PortStress, FramesOfTheThreeWritersNeverInterleave) {
  // Input pours in on one thread, the watcher reports a device coming and going on another, and
  // the main thread answers requests with long replies, for at least a second and until each
  // writer has been seen.
  std::vector<std::string> lines = {"in \"A\"", "flood \"A\" mixed"};
  for (int i = 0; i < 40; ++i) {
    lines.push_back("out \"Output with a long name " + std::to_string(i) + "\"");
  }
  HostSession host(lines);
  ASSERT_EQ(host.request(R"(["openin","A"])", "openin"), R"(["openin","A"])");
  host.send(R"(["watch"])");
  const auto until = Clock::now() + std::chrono::seconds(1);
  const auto giveUp = Clock::now() + std::chrono::seconds(60);
  int round = 0;
  long seen[3] = {};  // "midi", "connection", "refresh"
  while (Clock::now() < until || seen[0] == 0 || seen[1] == 0) {
    ASSERT_LT(Clock::now(), giveUp) << "midi " << seen[0] << ", connection " << seen[1];
    if (round % 20 == 0) {
      host.control(round % 40 == 0 ? "in \"Comes and goes\"" : "remove in \"Comes and goes\"");
    }
    host.send(R"(["refresh"])");
    for (;;) {
      auto text = host.next(std::chrono::seconds(60));
      ASSERT_TRUE(text) << "round " << round;
      checkFrame(*text, round);
      if (text->rfind("[\"midi\",", 0) == 0) ++seen[0];
      if (*text == R"(["connection"])") ++seen[1];
      if (text->rfind("[\"refresh\",", 0) == 0) break;
    }
    ++seen[2];
    ++round;
  }
  host.send(R"(["unwatch"])");
  host.send(R"(["closein"])");
  host.sync();
  for (const auto& text : host.takeSetAside()) checkFrame(text, round);
  std::printf("%ld midi, %ld connection and %ld refresh frames\n", seen[0], seen[1], seen[2]);
}

}  // namespace
