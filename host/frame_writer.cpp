#include "host/frame_writer.h"

#include <cstdint>
#include <limits>

namespace {

// Set once by setFrameOutput at start-up, before any thread that writes frames exists, and never
// changed while such a thread runs; so the pointers themselves need no guard. The stream behind
// gOut is guarded by *gLock.
CMidiLock* gLock = nullptr;
std::ostream* gOut = nullptr;

}  // namespace

void setFrameOutput(CMidiLock* lock, std::ostream* out) {
  gLock = lock;
  gOut = out;
}

// Runs on any thread: the main thread (replies), the MIDI input callback thread and the watcher.
void writeMessage(std::string text) {
  if (gLock == nullptr || gOut == nullptr) return;
  // The length field has 32 bits; a longer text cannot be framed, and writing a truncated length
  // would desynchronise every later frame, so such a text is dropped.
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) return;
  const auto size = static_cast<std::uint32_t>(text.size());
  const char header[4] = {static_cast<char>(size & 0xFF), static_cast<char>((size >> 8) & 0xFF),
                          static_cast<char>((size >> 16) & 0xFF),
                          static_cast<char>((size >> 24) & 0xFF)};

  CMidiLockHolder hold(*gLock);
  gOut->write(header, sizeof header);
  gOut->write(text.data(), static_cast<std::streamsize>(text.size()));
  gOut->flush();
  // A write to a closed pipe sets the stream's error bits, and a stream in error writes nothing
  // more; clearing them lets the next frame try again instead of the host falling silent.
  gOut->clear();
}
