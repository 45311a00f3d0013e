#pragma once

#include "midi/cmidi_out.h"
#include "platform/winapi.h"

// An output port on an open WinMM device, which it closes when destroyed.
// The kind made for device 0, the system's software synthesizer on Windows.
class CMidiOutSW : public CMidiOut {
 public:
  CMidiOutSW(HMIDIOUT handle, const WCHAR* name) : CMidiOut(name), handle_(handle) {}
  ~CMidiOutSW() override;

  bool Transmit(const ByteString& bytes) override;
  bool Alive() override;

 private:
  HMIDIOUT handle_;
};
