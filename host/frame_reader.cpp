#include "host/frame_reader.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

// Bytes asked of the stream at once. Never more than the frame still owes, so a read never waits
// for bytes that belong to the next frame.
constexpr std::size_t kChunk = 64 * 1024;

// Reads and drops `remaining` bytes. False if the input ends or fails first.
bool skipBytes(std::FILE* in, std::uint64_t remaining) {
  char sink[kChunk];
  while (remaining > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunk));
    const std::size_t got = std::fread(sink, 1, want, in);
    if (got != want) return false;
    remaining -= got;
  }
  return true;
}

}  // namespace

FrameReader::FrameReader(std::FILE* in, std::size_t maxHeld) : in_(in), maxHeld_(maxHeld) {}

bool FrameReader::next(std::string& text) {
  for (;;) {
    unsigned char header[4];
    if (std::fread(header, 1, sizeof header, in_) != sizeof header) return false;
    const std::uint32_t length =
        static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
        static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;

    text.clear();
    if (length > maxHeld_) {
      if (!skipBytes(in_, length)) return false;
      continue;
    }

    // The announced length is only a claim: the text grows with the bytes that really arrive, so a
    // header that announces gigabytes and is followed by nothing costs one chunk.
    std::size_t held = 0;
    const std::size_t total = length;
    bool fits = true;
    while (held < total) {
      const std::size_t want = std::min(total - held, kChunk);
      try {
        text.resize(held + want);
      } catch (const std::bad_alloc&) {
        fits = false;
      } catch (const std::length_error&) {
        fits = false;
      }
      if (!fits) break;
      const std::size_t got = std::fread(&text[held], 1, want, in_);
      held += got;
      if (got != want) {
        text.clear();
        return false;
      }
    }
    if (fits) return true;

    // Memory ran out part way: give back what is held and drop the rest of this frame, so that
    // the next one starts at the right byte.
    std::string().swap(text);
    if (!skipBytes(in_, static_cast<std::uint64_t>(total) - held)) return false;
  }
}

namespace {

void (*endOfInputAction)() = nullptr;  // main thread only

}  // namespace

void setEndOfInputAction(void (*action)()) { endOfInputAction = action; }

std::string readMessage() {
  // Only the main thread reads standard input, so the reader needs no guard.
  static FrameReader reader(stdin);
  std::string text;
  if (!reader.next(text)) {
    // End of input is the browser's way of saying stop. End at once: other threads may still be
    // running and nothing must be destroyed under them.
    if (endOfInputAction != nullptr) endOfInputAction();
    std::fflush(stdout);
    std::_Exit(0);
  }
  return text;
}

void useBinaryStandardStreams() {
#ifdef _WIN32
  // The C runtime would otherwise turn 0D 0A into 0A and stop at 1A inside a length or a text.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#else
  // A browser that has closed its end of the pipe must not kill the host with SIGPIPE; the
  // failed write is ignored and the host goes on until its input ends.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}
