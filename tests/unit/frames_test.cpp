#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "host/frame_queue.h"
#include "host/frame_reader.h"
#include "host/frame_writer.h"

using namespace melvix;

namespace {

std::string header(std::uint32_t length) {
  return std::string{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8 & 0xFF),
                     static_cast<char>(length >> 16 & 0xFF), static_cast<char>(length >> 24)};
}

std::string frame(const std::string& text) {
  return header(static_cast<std::uint32_t>(text.size())) + text;
}

// Bytes that differ from their neighbours, so that a dropped or doubled byte shows.
std::string pattern(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i % 251);
  return text;
}

// Splits captured output into frame texts; false if it does not end on a frame boundary.
bool splitFrames(const std::string& bytes, std::vector<std::string>& texts) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
    const std::size_t length = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::size_t>(p[3]) << 24;
    pos += 4;
    if (bytes.size() - pos < length) return false;
    texts.push_back(bytes.substr(pos, length));
    pos += length;
  }
  return true;
}

// Frames, one after another, from a string: each length field and text.
std::string framed(const std::vector<std::string>& texts) {
  std::string bytes;
  for (const std::string& text : texts) appendFrame(bytes, text);
  return bytes;
}

TEST(FrameWriterTest, WritesLittleEndianLengthThenTheText) {
  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {0, std::string("\x00\x00\x00\x00", 4)},
      {10, std::string("\x0A\x00\x00\x00", 4)},
      {266, std::string("\x0A\x01\x00\x00", 4)},
      {std::size_t{1} << 24, std::string("\x00\x00\x00\x01", 4)},
  };
  for (const auto& [length, expectedHeader] : cases) {
    std::ostringstream out;
    FrameWriter writer(out);
    const std::string text = pattern(length);
    writer.Write(framed({text}));
    const std::string bytes = out.str();
    ASSERT_EQ(bytes.size(), length + 4) << "length " << length;
    EXPECT_EQ(bytes.substr(0, 4), expectedHeader) << "length " << length;
    EXPECT_TRUE(bytes.compare(4, std::string::npos, text) == 0) << "length " << length;
  }
}

// A stream buffer that refuses every byte while `failing` is set, as a pipe whose reader is gone.
class FlakyBuffer : public std::streambuf {
 public:
  bool failing = false;
  std::string data;

 protected:
  int_type overflow(int_type c) override {
    if (failing || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    data.push_back(traits_type::to_char_type(c));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (failing) return 0;
    data.append(s, static_cast<std::size_t>(n));
    return n;
  }
};

TEST(FrameWriterTest, AFailedWriteDoesNotSilenceLaterFrames) {
  FlakyBuffer buffer;
  std::ostream out(&buffer);
  FrameWriter writer(out);
  buffer.failing = true;
  writer.Write(framed({"[\"refused\"]"}));
  buffer.failing = false;
  writer.Write(framed({"[\"delivered\"]"}));
  EXPECT_EQ(buffer.data, frame("[\"delivered\"]"));
}

// The host writes frames straight to its standard output's descriptor: whole frames of any size,
// far beyond a pipe's capacity too.
class DescriptorOutput {
 public:
  DescriptorOutput() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    reader_ = std::thread([this] {
      char chunk[65536];
      for (ssize_t n; (n = read(fds_[0], chunk, sizeof chunk)) > 0;) {
        bytes_.append(chunk, static_cast<std::size_t>(n));
      }
    });
  }
  ~DescriptorOutput() { finish(); }
  int fd() const { return fds_[1]; }
  // Everything written, once the writing end is closed.
  const std::string& finish() {
    if (fds_[1] >= 0) {
      close(fds_[1]);
      fds_[1] = -1;
      reader_.join();
      close(fds_[0]);
    }
    return bytes_;
  }

 private:
  int fds_[2];
  std::thread reader_;
  std::string bytes_;
};

TEST(FrameWriterTest, WritesWholeFramesToADescriptor) {
  const std::size_t lengths[] = {0, 10, 266, 4091, 70000, std::size_t{1} << 20};
  DescriptorOutput output;
  FrameWriter writer(output.fd());
  std::string expected;
  for (std::size_t length : lengths) {
    writer.Write(framed({pattern(length)}));
    expected += frame(pattern(length));
  }
  // A batch of frames, as the frame queue writes them.
  std::vector<std::string> batch;
  for (std::size_t length : lengths) batch.push_back(pattern(length));
  writer.Write(framed(batch));
  for (std::size_t length : lengths) expected += frame(pattern(length));
  EXPECT_TRUE(output.finish() == expected);
}

// Frames posted from several threads at once and replies from the main thread arrive whole, each
// thread's in its own order, through a stream and through a descriptor.
TEST(FrameQueueTest, FramesOfSeveralThreadsNeverInterleave) {
  constexpr int kThreads = 3;
  constexpr int kFramesEach = 300;
  // Lengths vary, up to a few pipe buffers, so that a torn frame cannot line up with a neighbour.
  auto text = [](int t, int i) {
    return std::to_string(t) + ":" + std::to_string(i) + ":" +
           std::string(static_cast<std::size_t>((i * 997 + t * 11) % 9000), 'a');
  };
  for (bool toDescriptor : {false, true}) {
    SCOPED_TRACE(toDescriptor ? "descriptor" : "stream");
    std::ostringstream stream;
    DescriptorOutput descriptor;
    FrameWriter writer = toDescriptor ? FrameWriter(descriptor.fd()) : FrameWriter(stream);
    {
      FrameQueue queue(writer, std::size_t{64} << 20);
      std::vector<std::thread> threads;
      for (int t = 1; t < kThreads; ++t) {
        threads.emplace_back([&queue, &text, t] {
          for (int i = 0; i < kFramesEach; ++i) queue.Post(MessageKind::kMidi, text(t, i));
        });
      }
      for (int i = 0; i < kFramesEach; ++i) queue.PostReply(text(0, i), i % 3 != 0);
      for (std::thread& thread : threads) thread.join();
      queue.Flush();
    }
    std::vector<std::string> texts;
    ASSERT_TRUE(splitFrames(toDescriptor ? descriptor.finish() : stream.str(), texts));
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kFramesEach));
    std::vector<int> nextIndex(kThreads, 0);
    for (const std::string& got : texts) {
      const int t = got[0] - '0';
      ASSERT_TRUE(t >= 0 && t < kThreads) << got.substr(0, 20);
      const int i = nextIndex[t]++;
      EXPECT_EQ(got, text(t, i)) << "thread " << t << " frame " << i;
    }
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A stream that holds exactly `bytes` and then ends.
File fileWith(const std::string& bytes) {
  File file(std::tmpfile());
  if (file) {
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::rewind(file.get());
  }
  return file;
}

std::string allByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

struct ReadCase {
  const char* name;
  std::string input;
  std::size_t maxHeld;
  std::vector<std::string> frames;  // all that next() returns before it returns false
};

TEST(FrameReaderTest, ReadsFramesUntilTheInputEnds) {
  const std::size_t kAll = std::string().max_size();
  const std::vector<ReadCase> cases = {
      {"one frame", std::string("\x05\x00\x00\x00hello", 9), kAll, {"hello"}},
      {"two frames back to back", frame("[\"a\"]") + frame("[1]"), kAll, {"[\"a\"]", "[1]"}},
      {"empty frame, then another", frame("") + frame("x"), kAll, {"", "x"}},
      {"every byte value", frame(allByteValues()), kAll, {allByteValues()}},
      {"body longer than one read", frame(pattern(200000)), kAll, {pattern(200000)}},
      {"no input", "", kAll, {}},
      {"header cut after 2 bytes", std::string("\x05\x00", 2), kAll, {}},
      {"body cut after 50 of 100", header(100) + std::string(50, 'b'), kAll, {}},
      {"frame, then a cut body", frame("ok") + header(10) + "abc", kAll, {"ok"}},
      {"4 GiB announced, nothing sent", header(0xFFFFFFFF), kAll, {}},
      {"4 GiB announced, some sent", header(0xFFFFFFFF) + pattern(100000), kAll, {}},
      {"4 GiB announced, small limit", header(0xFFFFFFFF) + "abc", 16, {}},
      {"too long, skipped", frame(pattern(17)) + frame("short"), 16, {"short"}},
      {"exactly the limit is held", frame(pattern(16)), 16, {pattern(16)}},
      {"long skips across reads",
       frame(pattern(200000)) + frame("after") + frame(pattern(2000)),
       1000,
       {"after"}},
      {"skipped frame cut short", frame("a") + header(5000) + pattern(100), 1000, {"a"}},
  };
  for (const ReadCase& c : cases) {
    File in = fileWith(c.input);
    ASSERT_TRUE(in) << "no temporary file";
    FrameReader reader(in.get(), c.maxHeld);
    std::vector<std::string> frames;
    std::string text;
    const auto start = std::chrono::steady_clock::now();
    while (frames.size() <= c.frames.size() && reader.next(text)) frames.push_back(text);
    EXPECT_EQ(frames, c.frames) << c.name;
    // The announced length must not be reserved: what is held follows the bytes that came.
    EXPECT_LT(text.capacity(), std::size_t{4} << 20) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name;
  }
}

// The request loop reads without a copy where it can: a frame that came whole lies in the
// reader's buffer, any other in the storage given; either way the text is the frame's.
TEST(FrameReaderTest, ViewsTheSameTextsAsItCopies) {
  const std::string input = frame("[\"version\"]") + frame("") + frame(pattern(200000)) +
                            frame("[\"play\",1]") + frame(pattern(70000));
  File in = fileWith(input);
  ASSERT_TRUE(in) << "no temporary file";
  FrameReader reader(in.get());
  std::string storage;
  std::string_view text;
  std::vector<std::string> frames;
  while (reader.next(text, storage)) frames.push_back(std::string(text));
  const std::vector<std::string> expected = {"[\"version\"]", "", pattern(200000), "[\"play\",1]",
                                             pattern(70000)};
  EXPECT_TRUE(frames == expected);
}

}  // namespace

namespace {

// A browser that reads nothing: every write waits until it is let through.
class BlockedOutput : public std::streambuf {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  std::string data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
    data_.append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  std::mutex mutex_;  // guards everything below
  std::condition_variable opened_;
  bool open_ = false;
  std::string data_;
};

// Frames wait in a queue of bounded size for a browser that has stopped reading; posting an event
// never waits, and a reply comes after what was queued before it.
TEST(FrameQueueTest, AFullFrameQueueDropsMidiKeepsOneConnectionAndNeverWaits) {
  BlockedOutput output;
  std::ostream out(&output);
  FrameWriter writer(out);
  const std::string midi = "[\"midi\",1]";  // 10 bytes
  FrameQueue queue(writer, 10 * (midi.size() + FrameQueue::kFrameHeader));
  // The writer waits with the first frame; the limit counts it.
  for (int i = 0; i < 15; ++i) queue.Post(MessageKind::kMidi, midi);
  for (int i = 0; i < 3; ++i) queue.Post(MessageKind::kConnection, "[\"connection\"]");
  output.open();
  queue.PostReply("[\"version\",\"1.5\"]");
  queue.Flush();
  std::vector<std::string> texts;
  ASSERT_TRUE(splitFrames(output.data(), texts));
  std::vector<std::string> expected(10, midi);
  expected.push_back("[\"connection\"]");
  expected.push_back("[\"version\",\"1.5\"]");
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(queue.Dropped(), 5u);
  // Room again: nothing more is dropped.
  queue.Post(MessageKind::kMidi, midi);
  queue.Flush();
  EXPECT_EQ(queue.Dropped(), 5u);
}

// A system-exclusive message reaches the browser whole or not at all: a message that a new one, a
// status byte, a cut or a full queue ends before its F7 leaves no piece behind; real-time bytes in
// between go out at once.
TEST(FrameQueueTest, ASystemExclusiveMessageGoesOutWholeOrNotAtAll) {
  using K = MessageKind;
  // Every text 10 bytes, a frame 14: the queue holds 10, the first of them in the blocked write.
  const std::string note = "[\"note\",1]", clock = "[\"tick\",1]", start = "[\"head\",1]",
                    middle = "[\"body\",1]", end = "[\"tail\",1]";
  const struct {
    const char* what;
    std::vector<std::pair<K, std::string>> posts;
    std::vector<std::string> written;
  } cases[] = {
      {"whole",
       {{K::kSysexStart, start}, {K::kSysexMiddle, middle}, {K::kSysexEnd, end}},
       {start, middle, end}},
      {"a clock inside",
       {{K::kSysexStart, start}, {K::kRealTime, clock}, {K::kSysexEnd, end}},
       {clock, start, end}},
      {"a note inside", {{K::kSysexStart, start}, {K::kMidi, note}, {K::kSysexEnd, end}}, {note}},
      {"a new message inside",
       {{K::kSysexStart, start}, {K::kSysexStart, start}, {K::kSysexEnd, end}},
       {start, end}},
      {"cut", {{K::kSysexStart, start}, {K::kSysexCut, ""}, {K::kSysexEnd, end}}, {}},
      {"its start never came", {{K::kSysexMiddle, middle}, {K::kSysexEnd, end}}, {}},
      {"no room for its end",
       {{K::kMidi, note},
        {K::kMidi, note},
        {K::kMidi, note},
        {K::kMidi, note},
        {K::kMidi, note},
        {K::kMidi, note},
        {K::kMidi, note},
        {K::kMidi, note},
        {K::kSysexStart, start},
        {K::kSysexMiddle, middle},
        {K::kSysexEnd, end}},
       std::vector<std::string>(8, note)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BlockedOutput output;
    std::ostream out(&output);
    FrameWriter writer(out);
    FrameQueue queue(writer, 10 * 14);
    for (const auto& [kind, text] : c.posts) queue.Post(kind, text);
    output.open();
    queue.Flush();
    std::vector<std::string> texts;
    ASSERT_TRUE(splitFrames(output.data(), texts));
    EXPECT_EQ(texts, c.written);
  }
}

}  // namespace
