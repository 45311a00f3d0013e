#include "host/frame_writer.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>

#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace melvix {

namespace {

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

}  // namespace

void appendFrame(std::string& frames, std::string_view text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return;
  const auto length = static_cast<std::uint32_t>(text.size());
  const std::array<char, 4> header = {
      static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
      static_cast<char>((length >> 16) & 0xFF), static_cast<char>((length >> 24) & 0xFF)};
  frames.append(header.data(), header.size());
  frames.append(text);
}

// Runs on the frame queue's writer thread or the main thread, one at a time.
void FrameWriter::Write(std::string_view frames) {
  if (frames.empty()) return;
  if (out_ != nullptr) {
    out_->write(frames.data(), static_cast<std::streamsize>(frames.size()));
    out_->flush();
    // A write to a closed pipe sets the stream's error bits, and a stream in error writes nothing
    // more; clearing them lets the next frame try again instead of the host falling silent.
    out_->clear();
    return;
  }
  // Nothing is buffered: the frames have left the process when this returns.
  if (lock_ == nullptr) {
    writeAll(fd_, frames.data(), frames.size());
    return;
  }
  CMidiLockHolder held(*lock_);
  writeAll(fd_, frames.data(), frames.size());
}

}  // namespace melvix
