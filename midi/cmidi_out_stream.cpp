// The byte-stream splitter: a MIDI byte stream, given in pieces of any size, cut into whole
// messages, each sent on its own.
#include <algorithm>
#include <cstddef>

#include "midi/cmidi_out.h"

namespace melvix {

namespace {

bool isStatus(char byte) { return (static_cast<unsigned char>(byte) & 0x80) != 0; }

constexpr unsigned char kSysexStart = 0xF0;
constexpr unsigned char kSysexEnd = 0xF7;

}  // namespace

bool CMidiOut::SendStream(const ByteString& bytes) {
  pending_ += bytes;
  bool accepted = false;
  // Everything before `pos` has been consumed. The front is erased once at the end rather than
  // byte by byte, so a long stream costs no more than one pass over it.
  std::size_t pos = 0;
  auto send = [&](std::size_t count) {
    if (Transmit(pending_.substr(pos, count))) accepted = true;
  };

  while (pos < pending_.size()) {
    // A data byte or an end of exclusive without a status of its own belongs to no message.
    while (pos < pending_.size() &&
           (!isStatus(pending_[pos]) || static_cast<unsigned char>(pending_[pos]) == kSysexEnd)) {
      ++pos;
    }
    if (pos == pending_.size()) break;

    const unsigned char status = static_cast<unsigned char>(pending_[pos]);
    const std::size_t available = pending_.size() - pos;
    const unsigned char kind = status >> 4;

    if (status >= 0xF4) {
      // Tune request, real-time and undefined system codes stand alone.
      send(1);
      pos += 1;
      continue;
    }

    if (status == kSysexStart) {
      auto first = pending_.begin() + static_cast<std::ptrdiff_t>(pos);
      auto end = std::find_if(first + 1, pending_.end(), isStatus);
      if (end == pending_.end()) break;  // the exclusive message goes on in a later piece
      const auto endPos = static_cast<std::size_t>(end - pending_.begin());
      if (static_cast<unsigned char>(*end) == kSysexEnd) {
        send(endPos - pos + 1);
        pos = endPos + 1;
      } else {
        // Cut short by another status: the exclusive is lost, the interrupting status is handled
        // in the next pass.
        pos = endPos;
      }
      continue;
    }

    const bool twoBytes = status == 0xF1 || status == 0xF3 || kind == 0xC || kind == 0xD;
    const std::size_t length = twoBytes ? 2 : 3;
    // Note off, note on, polyphonic pressure and control change keep their status running.
    const bool running = kind >= 0x8 && kind <= 0xB;

    // The length is checked before the data: an incomplete message waits for more bytes even
    // when a status that will cut it short is already here.
    if (available < length) break;
    if (isStatus(pending_[pos + 1])) {
      pos += 1;
      continue;
    }
    if (length == 3 && isStatus(pending_[pos + 2])) {
      pos += 2;
      continue;
    }
    send(length);
    if (running) {
      // The status stays in front of the bytes that follow as the running status.
      pos += length - 1;
      pending_[pos] = static_cast<char>(status);
    } else {
      pos += length;
    }
  }

  pending_.erase(0, pos);
  return accepted;
}

}  // namespace melvix
