#include "host/frame_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "host/input_stand_in.h"

namespace melvix {

namespace {

// The reader's buffer. A read of a pipe gives what is there without waiting for more, so the
// buffer takes a burst of requests in one read and delays none. It stays small enough for the
// processor's first-level cache: in runs of bench/host_bench that alternated the two, 16 KiB
// served pipelined requests a fifth or more faster than 64 KiB; 4 and 8 KiB were within the noise.
constexpr std::size_t kBuffer = 16 * 1024;
// The most asked of the descriptor at once for a body that is not in the buffer: it is read
// straight into the text, never more than the frame still owes, so a read never waits for bytes
// of the next frame.
constexpr std::size_t kBodyChunk = 64 * 1024;

}  // namespace

FrameReader::FrameReader(int fd, std::size_t maxHeld)
    : fd_(fd), maxHeld_(maxHeld), buffer_(kBuffer) {}

#ifdef _WIN32
FrameReader::FrameReader(std::FILE* in, std::size_t maxHeld) : FrameReader(_fileno(in), maxHeld) {
#else
FrameReader::FrameReader(std::FILE* in, std::size_t maxHeld) : FrameReader(fileno(in), maxHeld) {
#endif
  // A stream in memory (the fuzz targets feed the loop so) has no descriptor: read it as a stream.
  if (fd_ < 0) file_ = in;
}

std::size_t FrameReader::readSome(char* into, std::size_t size) {
  if (file_ != nullptr) return std::fread(into, 1, size, file_);
  if (standIn_ != nullptr) return standIn_->Read(into, size);
  return readDescriptor(fd_, into, size);
}

bool FrameReader::fill(std::size_t count) {
  if (end_ - begin_ >= count) return true;
  // What is left moves to the front; it is always less than a frame header here.
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  while (end_ < count) {
    const std::size_t got = readSome(buffer_.data() + end_, buffer_.size() - end_);
    if (got == 0) return false;
    end_ += got;
  }
  return true;
}

std::size_t FrameReader::take(char* into, std::size_t count) {
  const std::size_t n = std::min(count, end_ - begin_);
  if (into != nullptr && n > 0) std::memcpy(into, buffer_.data() + begin_, n);
  begin_ += n;
  return n;
}

bool FrameReader::skip(std::size_t count) {
  count -= take(nullptr, count);
  while (count > 0) {
    const std::size_t got = readSome(buffer_.data(), std::min(count, buffer_.size()));
    if (got == 0) return false;
    count -= got;
  }
  return true;
}

bool FrameReader::holdsWholeFrame() const {
  if (end_ - begin_ < 4) return false;
  return end_ - begin_ - 4 >= frameLength(buffer_.data() + begin_);
}

bool FrameReader::next(std::string& text) {
  std::string_view view;
  if (!next(view, text)) return false;
  if (view.data() != text.data()) text.assign(view);
  return true;
}

bool FrameReader::next(std::string_view& view, std::string& text) {
  if (standIn_ != nullptr) standIn_->Return();
  if (!nextFrame(view, text)) return false;
  // Until the next call the caller serves the frame, and does not read.
  if (standIn_ != nullptr) standIn_->Leave();
  return true;
}

bool FrameReader::nextFrame(std::string_view& view, std::string& text) {
  for (;;) {
    if (!fill(4)) return false;
    const std::uint32_t length = frameLength(buffer_.data() + begin_);
    begin_ += 4;
    const std::size_t total = length;
    if (total > maxHeld_) {
      if (!skip(total)) return false;
      continue;
    }
    // A frame already in the buffer, as requests that come in a burst are, is taken from it whole.
    if (end_ - begin_ >= total) {
      view = std::string_view(buffer_.data() + begin_, total);
      begin_ += total;
      return true;
    }
    text.clear();

    // The announced length is only a claim: the text grows with the bytes that really arrive, so
    // a header that announces gigabytes and is followed by nothing costs one chunk.
    std::size_t held = 0;
    bool fits = true;
    while (held < total) {
      const std::size_t want = std::min(total - held, kBodyChunk);
      try {
        text.resize(held + want);
      } catch (const std::bad_alloc&) {
        fits = false;
      } catch (const std::length_error&) {
        fits = false;
      }
      if (!fits) break;
      std::size_t got = take(&text[held], want);
      if (got == 0) got = readSome(&text[held], want);
      if (got == 0) {
        text.clear();
        return false;
      }
      held += got;
    }
    if (fits) {
      text.resize(held);
      view = text;
      return true;
    }

    // Memory ran out part way: give back what is held and drop the rest of this frame, so that
    // the next one starts at the right byte.
    std::string().swap(text);
    if (!skip(total - held)) return false;
  }
}

}  // namespace melvix
