#pragma once

#include <cstddef>

#include "platform/winapi.h"

namespace melvix {

// One event as the driver delivered it to the input callback; it travels by value.
struct InputEvent {
  DWORD_PTR instance = 0;
  HMIDIIN device = nullptr;
  UINT message = 0;
  DWORD_PTR param1 = 0;
  DWORD_PTR param2 = 0;
};

// The MIDI bytes of one event, in place: the input callback allocates nothing. A system-exclusive
// buffer holds at most kMost bytes (the host's buffers are that size; a longer count is cut).
struct EventBytes {
  static constexpr std::size_t kMost = 256;
  unsigned char data[kMost];
  std::size_t size = 0;

  bool empty() const { return size == 0; }
  void push_back(unsigned char value) {
    if (size < kMost) data[size++] = value;
  }
};

}  // namespace melvix
