#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
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
#include "midi/cmidi_lock.h"
#include "tests/support/test_lock.h"

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

class FrameWriterTest : public ::testing::Test {
 protected:
  void TearDown() override { setFrameOutput(nullptr, nullptr); }
  RecursiveTestLock lock_;
};

TEST_F(FrameWriterTest, WritesLittleEndianLengthThenTheText) {
  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {0, std::string("\x00\x00\x00\x00", 4)},
      {10, std::string("\x0A\x00\x00\x00", 4)},
      {266, std::string("\x0A\x01\x00\x00", 4)},
      {std::size_t{1} << 24, std::string("\x00\x00\x00\x01", 4)},
  };
  for (const auto& [length, expectedHeader] : cases) {
    std::ostringstream out;
    setFrameOutput(&lock_, &out);
    const std::string text = pattern(length);
    writeMessage(text);
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

TEST_F(FrameWriterTest, AFailedWriteDoesNotSilenceLaterFrames) {
  FlakyBuffer buffer;
  std::ostream out(&buffer);
  setFrameOutput(&lock_, &out);
  buffer.failing = true;
  writeMessage("[\"refused\"]");
  buffer.failing = false;
  writeMessage("[\"delivered\"]");
  EXPECT_EQ(buffer.data, frame("[\"delivered\"]"));
}

// Frames from several threads at once arrive whole, each thread's in its own order.
TEST_F(FrameWriterTest, ConcurrentFramesNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kFramesEach = 400;
  std::ostringstream out;
  setFrameOutput(&lock_, &out);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kFramesEach; ++i) {
        // Lengths vary so that a torn frame cannot line up with a neighbour by chance.
        const std::string prefix = std::to_string(t) + ":" + std::to_string(i) + ":";
        writeMessage(prefix + std::string(static_cast<std::size_t>((i * 37 + t * 11) % 3000),
                                          static_cast<char>('a' + t)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::string> texts;
  ASSERT_TRUE(splitFrames(out.str(), texts));
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kFramesEach));
  std::vector<int> nextIndex(kThreads, 0);
  for (const std::string& text : texts) {
    int t = -1;
    int i = -1;
    int consumed = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "%d:%d:%n", &t, &i, &consumed), 2) << text.substr(0, 40);
    ASSERT_TRUE(t >= 0 && t < kThreads) << text.substr(0, 40);
    EXPECT_EQ(i, nextIndex[t]++) << "thread " << t;
    const std::string body = text.substr(static_cast<std::size_t>(consumed));
    EXPECT_EQ(body, std::string(static_cast<std::size_t>((i * 37 + t * 11) % 3000),
                                static_cast<char>('a' + t)))
        << "thread " << t << " frame " << i;
  }
}

// The host writes frames straight to its standard output's descriptor: whole frames of any size,
// the same bytes as through a stream, from several threads at once never interleaved.
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

TEST_F(FrameWriterTest, WritesWholeFramesToADescriptor) {
  // Around the size up to which a frame leaves in one write, and far beyond a pipe's capacity.
  const std::size_t lengths[] = {0, 10, 266, 4091, 4092, 4093, 70000, std::size_t{1} << 20};
  DescriptorOutput output;
  setFrameOutputFile(&lock_, output.fd());
  std::string expected;
  for (std::size_t length : lengths) {
    writeMessage(pattern(length));
    expected += frame(pattern(length));
  }
  writeMessage(std::string_view("[\"view\"]"));
  writeMessage("[\"literal\"]");
  expected += frame("[\"view\"]") + frame("[\"literal\"]");
  // The frame queue's batch: the same frames, in order, as one write each would give.
  std::string batch;
  for (std::size_t length : lengths) {
    appendFrame(batch, pattern(length));
    expected += frame(pattern(length));
  }
  writeFrames(batch);
  setFrameOutput(nullptr, nullptr);
  EXPECT_TRUE(output.finish() == expected);
}

TEST_F(FrameWriterTest, ConcurrentFramesToADescriptorNeverInterleave) {
  constexpr int kThreads = 3;
  constexpr int kFramesEach = 300;
  DescriptorOutput output;
  setFrameOutputFile(&lock_, output.fd());
  // Lengths vary, up to twice the size that leaves in one write, and each text names its thread.
  auto length = [](int t, int i) {
    return static_cast<std::size_t>((i * 997 + t * 11) % 9000 + 1);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, length] {
      for (int i = 0; i < kFramesEach; ++i) {
        writeMessage(std::string(length(t, i), static_cast<char>('a' + t)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  setFrameOutput(nullptr, nullptr);
  std::vector<std::string> texts;
  ASSERT_TRUE(splitFrames(output.finish(), texts));
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kFramesEach));
  std::vector<int> nextIndex(kThreads, 0);
  for (const std::string& text : texts) {
    const int t = text[0] - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads);
    const int i = nextIndex[t]++;
    EXPECT_EQ(text, std::string(length(t, i), static_cast<char>('a' + t)));
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

TEST(FrameReaderTest, ReadMessageEndsTheProcessAtEndOfInput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = ::testing::TempDir() + "melvix_frames_input.bin";
  File file(std::fopen(path.c_str(), "wb"));
  ASSERT_TRUE(file);
  const std::string input = frame("[\"version\"]") + std::string("\x05\x00", 2);
  std::fwrite(input.data(), 1, input.size(), file.get());
  file.reset();

  EXPECT_EXIT(
      {
        if (std::freopen(path.c_str(), "rb", stdin) == nullptr) std::_Exit(2);
        if (readMessage() != "[\"version\"]") std::_Exit(3);
        readMessage();
        std::_Exit(4);
      },
      ::testing::ExitedWithCode(0), "");
  std::remove(path.c_str());
}

}  // namespace

namespace {

// Frames wait in a queue of bounded size for a browser that has stopped reading; posting an event
// never waits, and a reply comes after what was queued before it.
TEST_F(FrameWriterTest, AFullFrameQueueDropsMidiKeepsOneConnectionAndNeverWaits) {
  std::ostringstream out;
  setFrameOutput(&lock_, &out);
  const std::string midi = "[\"midi\",1]";  // 10 bytes
  FrameQueue queue(10 * (midi.size() + FrameQueue::kFrameHeader));
  setFrameQueue(&queue);
  lock_.Lock();  // the browser reads nothing: the writer waits with the first frame
  for (int i = 0; i < 15; ++i) queue.Post(MessageKind::kMidi, midi);
  for (int i = 0; i < 3; ++i) queue.Post(MessageKind::kConnection, "[\"connection\"]");
  lock_.Unlock();
  writeReply("[\"version\",\"1.5\"]");
  queue.Flush();
  std::vector<std::string> texts;
  ASSERT_TRUE(splitFrames(out.str(), texts));
  std::vector<std::string> expected(10, midi);
  expected.push_back("[\"connection\"]");
  expected.push_back("[\"version\",\"1.5\"]");
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(queue.Dropped(), 5u);
  // Room again: nothing more is dropped.
  queue.Post(MessageKind::kMidi, midi);
  queue.Flush();
  EXPECT_EQ(queue.Dropped(), 5u);
  setFrameQueue(nullptr);
}

}  // namespace
