#pragma once

#include <string>

#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

// MIDI bytes of any value, 0 included.
using ByteString = std::string;

// An open MIDI output port. Used only under the MIDI system object's ports guard: by the main
// thread, and by the watcher's when it opens a port again.
class CMidiOut {
 public:
  explicit CMidiOut(const WCHAR* name);
  virtual ~CMidiOut() = default;
  CMidiOut(const CMidiOut&) = delete;
  CMidiOut& operator=(const CMidiOut&) = delete;

  const WideString& Name() const { return name_; }

  // One message of up to three bytes; drops a pending partial message of SendStream.
  virtual void SendShort(unsigned char status, unsigned char data1, unsigned char data2);
  // Cuts a byte stream, given in pieces of any size, into messages and sends each; true when
  // the device accepted at least one of them.
  virtual bool SendStream(const ByteString& bytes);
  // Sends the bytes unparsed as one message.
  virtual bool SendRaw(const ByteString& bytes);
  // Fewer than 4 bytes as a short message, more as a long one, synchronously.
  virtual bool Transmit(const ByteString& bytes) = 0;
  // Control change 123 (all notes off) on all 16 channels.
  virtual void AllNotesOff();

  // The device has answered a call with "no such device": it was pulled out while open, and this
  // port will never reach it again.
  bool Gone() const { return gone_; }
  // Whether the device is still there, asked without sending it anything.
  virtual bool Alive() { return !gone_; }

  // Bytes SendStream holds until their message is complete, or the kept running status.
  const ByteString& Pending() const { return pending_; }

 protected:
  // Takes WinMM's answer to a send: true when it was accepted; "no such device" marks the port
  // gone.
  bool Accepted(MMRESULT result);
  void MarkGone() { gone_ = true; }

 private:
  WideString name_;
  ByteString pending_;
  bool gone_ = false;
};

}  // namespace melvix
