#pragma once

#include <array>
#include <memory>

#include "midi/cmidi_in.h"
#include "platform/winapi.h"

// An input port on an open WinMM device, with four 256-byte system-exclusive buffers queued with
// the driver while it runs.
class CMidiInHW : public CMidiIn {
 public:
  static constexpr int kBufferCount = 4;
  static constexpr DWORD kBufferSize = 256;

  CMidiInHW(HMIDIIN handle, const WCHAR* name) : CMidiIn(name), handle_(handle) {}
  // Closes the device unless Close has; buffers the driver still holds are left to it.
  ~CMidiInHW() override;

  // Runs on the thread on which WinMM calls the input callback.
  void Receive(InputEvent* event, std::vector<unsigned char>& bytes) override;
  void Start() override;
  // Stops and resets the device, takes the buffers back, closes it. Main thread.
  bool Close() override;

 private:
  // A header and the block it describes. The driver holds a pointer to both while the buffer is
  // queued, so they live and die together: one the driver will not give back is leaked whole.
  struct Buffer {
    MIDIHDR header{};
    char data[kBufferSize] = {};
  };

  HMIDIIN handle_;
  // Allocated by Start, freed once the driver has let go; main thread only.
  std::array<std::unique_ptr<Buffer>, kBufferCount> buffers_;
  bool fineClock_ = false;  // this port asked for a 1 ms timer period; main thread only
  bool closed_ = false;     // main thread only
};
