#include "host/frame_writer.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace {

// Set once by setFrameOutput at start-up, before any thread that writes frames exists, and never
// changed while such a thread runs; so they need no guard. What they lead to is guarded by *gLock.
CMidiLock* gLock = nullptr;
std::ostream* gOut = nullptr;
int gFd = -1;

// A frame up to this size leaves in one write from the stack; a longer one as its length and
// then its text, which is not copied.
constexpr std::size_t kSmallFrame = 4096;

// Writes all of `size` bytes, however the kernel splits them; false when the output fails (a
// closed pipe, for example).
bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
#ifdef _WIN32
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    const int n = _write(fd, data, chunk);
    if (n <= 0) return false;
#else
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Standard output left non-blocking by whoever started the host: wait until it takes more.
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, -1);
        continue;
      }
      return false;
    }
#endif
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A frame's length field: 4 bytes, lowest first.
std::array<char, 4> lengthHeader(std::uint32_t length) {
  return {static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
          static_cast<char>((length >> 16) & 0xFF), static_cast<char>((length >> 24) & 0xFF)};
}

void writeFrameText(const char* text, std::size_t size) {
  if (gLock == nullptr || (gOut == nullptr && gFd < 0)) return;
  // The length field has 32 bits; a longer text cannot be framed, and writing a truncated length
  // would desynchronise every later frame, so such a text is dropped.
  if (size > std::numeric_limits<std::uint32_t>::max()) return;
  const auto length = static_cast<std::uint32_t>(size);
  const std::array<char, 4> header = lengthHeader(length);

  CMidiLockHolder hold(*gLock);
  if (gOut != nullptr) {
    gOut->write(header.data(), sizeof header);
    gOut->write(text, static_cast<std::streamsize>(size));
    gOut->flush();
    // A write to a closed pipe sets the stream's error bits, and a stream in error writes nothing
    // more; clearing them lets the next frame try again instead of the host falling silent.
    gOut->clear();
    return;
  }
  // Written straight to the descriptor: nothing is buffered, so the frame has left the process
  // when the lock is released, as a flush would make sure.
  if (size + sizeof header <= kSmallFrame) {
    char frame[kSmallFrame];
    std::memcpy(frame, header.data(), sizeof header);
    if (size > 0) std::memcpy(frame + sizeof header, text, size);
    writeAll(gFd, frame, size + sizeof header);
    return;
  }
  if (writeAll(gFd, header.data(), sizeof header)) writeAll(gFd, text, size);
}

}  // namespace

void setFrameOutput(CMidiLock* lock, std::ostream* out) {
  gLock = lock;
  gOut = out;
  gFd = -1;
}

void setFrameOutputFile(CMidiLock* lock, int fd) {
  gLock = lock;
  gOut = nullptr;
  gFd = fd;
}

// Runs on any thread: the main thread (replies), the MIDI input callback thread and the watcher.
void writeMessage(std::string text) { writeFrameText(text.data(), text.size()); }

void writeMessage(std::string_view text) { writeFrameText(text.data(), text.size()); }

void writeMessage(const char* text) { writeFrameText(text, std::strlen(text)); }

void appendFrame(std::string& frames, std::string_view text) {
  // As in writeFrameText: a text too long for the length field is dropped.
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return;
  const auto length = static_cast<std::uint32_t>(text.size());
  const std::array<char, 4> header = lengthHeader(length);
  frames.append(header.data(), sizeof header);
  frames.append(text);
}

// Runs on the frame queue's writer thread or the main thread.
void writeFrames(std::string_view frames) {
  if (gLock == nullptr || (gOut == nullptr && gFd < 0) || frames.empty()) return;
  CMidiLockHolder hold(*gLock);
  if (gOut != nullptr) {
    gOut->write(frames.data(), static_cast<std::streamsize>(frames.size()));
    gOut->flush();
    gOut->clear();  // as in writeFrameText: a failed write must not silence later frames
    return;
  }
  writeAll(gFd, frames.data(), frames.size());
}
