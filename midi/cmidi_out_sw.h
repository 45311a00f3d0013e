#pragma once

#include "midi/cmidi_out.h"
#include "midi/trace_log.h"
#include "platform/winapi.h"

namespace melvix {

// An output port on an open WinMM device, which it closes when destroyed.
// The kind made for device 0, the system's software synthesizer on Windows.
class CMidiOutSW : public CMidiOut {
 public:
  // Calls that fail are traced when `trace` is on.
  CMidiOutSW(HMIDIOUT handle, const WCHAR* name, TraceLog* trace = nullptr)
      : CMidiOut(name), handle_(handle), trace_(trace) {}
  ~CMidiOutSW() override;

  bool Transmit(const ByteString& bytes) override;
  bool Alive() override;

 private:
  HMIDIOUT handle_;
  TraceLog* trace_;
};

}  // namespace melvix
