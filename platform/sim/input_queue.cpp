#include "platform/sim/input_queue.h"

#include <algorithm>
#include <cstring>

namespace sim {

UINT InputEvent::callbackMessage() const {
  switch (kind) {
    case kShort:
      return MIM_DATA;
    case kError:
      return MIM_ERROR;
    case kSysex:
      return MIM_LONGDATA;
    case kLongError:
      break;
  }
  return MIM_LONGERROR;
}

MMRESULT queueBuffer(std::deque<MIDIHDR*>& buffers, MIDIHDR* header) {
  if ((header->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
  if ((header->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  header->dwBytesRecorded = 0;
  buffers.push_back(header);
  return MMSYSERR_NOERROR;
}

MIDIHDR* fillNextBuffer(std::deque<MIDIHDR*>& buffers, InputEvent& e) {
  MIDIHDR* header = buffers.front();
  buffers.pop_front();
  std::size_t n = std::min<std::size_t>(header->dwBufferLength, e.bytes.size() - e.offset);
  std::memcpy(header->lpData, e.bytes.data() + e.offset, n);
  e.offset += n;
  header->dwBytesRecorded = static_cast<DWORD>(n);
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  return header;
}

void markReturnedEmpty(MIDIHDR* header) {
  header->dwBytesRecorded = 0;
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

void makeFloodEvent(FloodMode mode, std::uint32_t count, InputEvent& e) {
  if (mode == FloodMode::kSysex || (mode == FloodMode::kMixed && count % 4 == 0)) {
    e.kind = InputEvent::kSysex;
    std::size_t length = 6 + (count * 37) % 600;
    e.bytes.assign(length, 0);
    e.bytes.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < length; ++i) e.bytes[i] = static_cast<BYTE>((i + count) & 0x7F);
    e.bytes.back() = 0xF7;
  } else {
    e.kind = InputEvent::kShort;
    e.message = 0x90u | ((count % 128) << 8) | (100u << 16);
  }
}

}  // namespace sim
