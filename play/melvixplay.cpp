// melvixplay: plays a textual stream of MIDI messages from standard input on output device 0.
//
//   m <hex>                 a short message; the lowest byte is the status
//   l <hex n> <hex> x n     a long message of n bytes, the low 8 bits of each number
//
// Every other character is skipped. Numbers are read as scanf's "%x" reads them, so they may be
// spread over lines and carry a 0x prefix. Nothing is printed; the exit code is always 0.
#include <cstdio>
#include <vector>

#include "platform/winapi.h"

namespace {

// A command whose number cannot be read is dropped rather than sent with a stale value.
bool readHex(unsigned int& value) { return std::scanf("%x", &value) == 1; }

// Sends the bytes and returns only once the device has given the buffer back, so the next
// command is read after the message has gone out.
void sendLong(HMIDIOUT out, std::vector<char>& bytes) {
  // A header of length 0 still goes to the driver, which decides what it makes of it.
  char none = 0;
  MIDIHDR header{};
  header.lpData = bytes.empty() ? &none : bytes.data();
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  header.dwFlags = 0;
  if (midiOutPrepareHeader(out, &header, sizeof header) != MMSYSERR_NOERROR) return;
  midiOutLongMsg(out, &header, sizeof header);
  while (midiOutUnprepareHeader(out, &header, sizeof header) == MIDIERR_STILLPLAYING) {
  }
}

// Reads the count and the bytes of an "l" command; false when the input ends or a non-number
// comes first. The buffer grows only by the bytes that actually arrive, so a huge count costs
// nothing until its bytes are there.
bool readLong(std::vector<char>& bytes) {
  unsigned int count = 0;
  if (!readHex(count)) return false;
  for (unsigned int i = 0; i < count; ++i) {
    unsigned int value = 0;
    if (!readHex(value)) return false;
    bytes.push_back(static_cast<char>(value & 0xFF));
  }
  return true;
}

}  // namespace

int main() {
  // When device 0 cannot be opened the handle stays null: the input is still read to its end and
  // every send fails quietly.
  HMIDIOUT out = nullptr;
  midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL);

  char command = 0;
  while (std::scanf("%c", &command) == 1) {
    if (command == 'm') {
      unsigned int message = 0;
      if (readHex(message)) midiOutShortMsg(out, message);
    } else if (command == 'l') {
      std::vector<char> bytes;
      if (readLong(bytes)) sendLong(out, bytes);
    }
  }

  midiOutReset(out);
  midiOutClose(out);
  return 0;
}
