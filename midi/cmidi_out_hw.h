#pragma once

#include "midi/cmidi_out.h"
#include "platform/winapi.h"

// An output port on an open WinMM device, which it closes when destroyed.
class CMidiOutHW : public CMidiOut {
 public:
  CMidiOutHW(HMIDIOUT handle, const WCHAR* name) : CMidiOut(name), handle_(handle) {}
  ~CMidiOutHW() override;

  bool Transmit(const ByteString& bytes) override;
  bool Alive() override;

 private:
  HMIDIOUT handle_;
};
