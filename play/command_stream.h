// The text command stream that melvixplay plays:
//
//   m <hex>                 a short message; the lowest byte is the status
//   l <hex n> <hex> x n     a long message of n bytes, the low 8 bits of each number
//
// Every other character is skipped. Numbers are read as scanf's "%x" reads them, so they may be
// spread over lines and carry a 0x prefix.
#pragma once

#include <cstdio>
#include <vector>

#include "platform/winapi.h"

namespace melvix {

// Where the messages go, each as soon as it has been read in full.
class PlayedMessages {
 public:
  virtual ~PlayedMessages() = default;
  virtual void shortMessage(DWORD message) = 0;
  virtual void longMessage(std::vector<char>& bytes) = 0;
};

// Reads commands from `in` until it ends. A command whose number cannot be read is dropped whole
// rather than sent with a stale value, and the character that stopped it is read as the next
// command. The bytes of a long message are held only as they arrive, whatever count it announces.
void playCommands(std::FILE* in, PlayedMessages& sink);

// Sends every message on an open output device; a long one synchronously.
class DeviceSink : public PlayedMessages {
 public:
  explicit DeviceSink(HMIDIOUT out) : out_(out) {}
  void shortMessage(DWORD message) override;
  void longMessage(std::vector<char>& bytes) override;

 private:
  HMIDIOUT out_;
};

}  // namespace melvix
