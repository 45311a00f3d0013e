#pragma once

#include <vector>

#include "midi/input_event.h"
#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

// An open MIDI input port.
class CMidiIn {
 public:
  explicit CMidiIn(const WCHAR* name) : name_(wideFromZ(name)) {}
  virtual ~CMidiIn() = default;
  CMidiIn(const CMidiIn&) = delete;
  CMidiIn& operator=(const CMidiIn&) = delete;

  const WideString& Name() const { return name_; }

  // Appends the MIDI bytes that `event` carries. Runs on the thread on which WinMM calls the input
  // callback: waits for nothing and allocates nothing.
  virtual void Receive(const InputEvent& event, EventBytes& bytes) = 0;
  // Hands the buffers to the driver and starts input; false when the device would not start.
  virtual bool Start() { return true; }
  // Stops input, takes the buffers back and closes the device; false when the device would not
  // close, and the port must then be kept. A device that has gone is given up instead: true, its
  // buffers left to the driver. Under the ports guard.
  virtual bool Close() { return true; }
  // Whether the device is still there, asked without disturbing it; an answer that it has gone
  // is kept. With the ports guard held.
  virtual bool Alive() { return true; }
  // The device is known to have gone: a call on it answered "no such device".
  virtual bool Gone() const { return false; }
  // Its driver closed it by itself: from now on it counts as gone. With the ports guard held.
  virtual void MarkGone() {}
  // The WinMM handle of its device, if it has one.
  virtual HMIDIIN Handle() const { return nullptr; }

 private:
  WideString name_;
};

}  // namespace melvix
