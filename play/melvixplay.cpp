// melvixplay: plays a textual stream of MIDI messages from standard input on output device 0.
//
//   m <hex>                 a short message; the lowest byte is the status
//   l <hex n> <hex> x n     a long message of n bytes, the low 8 bits of each number
//
// Every other character is skipped. Numbers are read as scanf's "%x" reads them, so they may be
// spread over lines and carry a 0x prefix. Nothing is printed; the exit code is always 0.
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/winapi.h"

namespace {

// A command whose number cannot be read is dropped rather than sent with a stale value.
bool readHex(unsigned int& value) { return std::scanf("%x", &value) == 1; }

// A long message as the driver sees it: the header and the bytes live and die together, so that a
// driver that never gives the buffer back keeps both rather than freed memory.
struct LongMessage {
  MIDIHDR header{};
  std::vector<char> bytes;
};

// How long a driver may keep a long message before it counts as stuck: its time on MIDI's wire
// (31,250 bits a second, 10 bits a byte), half as long again, and 300 ms.
std::chrono::milliseconds stuckAfter(std::size_t bytes) {
  const auto wireMs = static_cast<std::chrono::milliseconds::rep>(bytes * 10 * 1000 / 31250);
  return std::chrono::milliseconds(wireMs + wireMs / 2 + 300);
}

// Sends the bytes and returns only once the device has given the buffer back, so the next
// command is read after the message has gone out. The device gets a pause between two asks, and a
// reset once it has held the buffer far longer than sending takes.
void sendLong(HMIDIOUT out, std::vector<char>& bytes) {
  auto message = std::make_unique<LongMessage>();
  const auto length = static_cast<DWORD>(bytes.size());
  message->bytes.swap(bytes);
  // A header of length 0 still goes to the driver, which decides what it makes of it.
  if (message->bytes.empty()) message->bytes.push_back(0);
  MIDIHDR& header = message->header;
  header.lpData = message->bytes.data();
  header.dwBufferLength = length;
  header.dwFlags = 0;
  if (midiOutPrepareHeader(out, &header, sizeof header) != MMSYSERR_NOERROR) return;
  midiOutLongMsg(out, &header, sizeof header);
  const auto giveUp = std::chrono::steady_clock::now() + stuckAfter(length);
  MMRESULT result;
  while ((result = midiOutUnprepareHeader(out, &header, sizeof header)) == MIDIERR_STILLPLAYING &&
         std::chrono::steady_clock::now() < giveUp) {
    Sleep(1);
  }
  if (result == MIDIERR_STILLPLAYING) {
    midiOutReset(out);
    for (int attempt = 0; attempt < 20 && result == MIDIERR_STILLPLAYING; ++attempt) {
      result = midiOutUnprepareHeader(out, &header, sizeof header);
      if (result == MIDIERR_STILLPLAYING) Sleep(1);
    }
  }
  // Still the driver's: left to it rather than freed under it, and kept reachable.
  if (result == MIDIERR_STILLPLAYING) {
    static auto* leftToDriver = new std::vector<std::unique_ptr<LongMessage>>();
    leftToDriver->push_back(std::move(message));
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
#ifdef _WIN32
  // In text mode the C runtime ends the input at a byte 0x1A; every byte must be read, and all but
  // the commands skipped.
  _setmode(_fileno(stdin), _O_BINARY);
#endif
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
