// Frames from the browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace melvix {

// The length a frame's 4-byte header gives, lowest byte first.
inline std::uint32_t frameLength(const char* header) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(header);
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

class InputStandIn;

// Reads frames from a file descriptor, with a buffer of its own. Memory follows the bytes that
// actually arrive, never the announced length; a frame whose body cannot be held (more than
// `maxHeld` bytes, or memory runs out) is read to its end and skipped.
class FrameReader {
 public:
  explicit FrameReader(int fd, std::size_t maxHeld = std::string().max_size());
  // Reads the stream's descriptor directly: nothing may have been read through the stream. A
  // stream with no descriptor (one in memory) is read through the stream.
  explicit FrameReader(std::FILE* in, std::size_t maxHeld = std::string().max_size());

  // The next frame's text; false at the end of the input (or a read error), also within a frame.
  bool next(std::string& text);
  // The same without a copy: `text` views the reader's buffer, where a frame that came whole in
  // one read lies, or `storage`, which holds any other. Valid until the next call.
  bool next(std::string_view& text, std::string& storage);
  // True when the next frame has come whole, so that next() gives it without waiting for input.
  bool holdsWholeFrame() const;
  // Reads the descriptor through `standIn`, which reads on while the caller is away between two
  // frames (see input_stand_in.h). Before the first frame.
  void ReadThrough(InputStandIn* standIn) { standIn_ = standIn; }

 private:
  bool nextFrame(std::string_view& text, std::string& storage);
  // Reads what the descriptor has, at most `size` bytes, waiting only while it has nothing;
  // 0 at the end of the input or on an error.
  std::size_t readSome(char* into, std::size_t size);
  // Makes sure the buffer holds at least `count` bytes; false if the input ends first.
  bool fill(std::size_t count);
  // Takes up to `count` bytes from the buffer into `into` (or drops them if null); how many.
  std::size_t take(char* into, std::size_t count);
  // Drops `count` bytes of input. False if the input ends first.
  bool skip(std::size_t count);

  int fd_;
  InputStandIn* standIn_ = nullptr;
  std::FILE* file_ = nullptr;  // read instead of fd_ when the stream has no descriptor
  std::size_t maxHeld_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
};

}  // namespace melvix
