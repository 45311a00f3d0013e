#include "play/command_stream.h"

namespace {

bool readHex(std::FILE* in, unsigned int& value) { return std::fscanf(in, "%x", &value) == 1; }

// Reads the count and the bytes of an "l" command; false when the input ends or a non-number
// comes first. The buffer grows only by the bytes that actually arrive, so a huge count costs
// nothing until its bytes are there.
bool readLong(std::FILE* in, std::vector<char>& bytes) {
  unsigned int count = 0;
  if (!readHex(in, count)) return false;
  for (unsigned int i = 0; i < count; ++i) {
    unsigned int value = 0;
    if (!readHex(in, value)) return false;
    bytes.push_back(static_cast<char>(value & 0xFF));
  }
  return true;
}

}  // namespace

void playCommands(std::FILE* in, MessageSink& sink) {
  char command = 0;
  while (std::fscanf(in, "%c", &command) == 1) {
    if (command == 'm') {
      unsigned int message = 0;
      if (readHex(in, message)) sink.shortMessage(message);
    } else if (command == 'l') {
      std::vector<char> bytes;
      if (readLong(in, bytes)) sink.longMessage(bytes);
    }
  }
}

void DeviceSink::shortMessage(DWORD message) { midiOutShortMsg(out_, message); }

// Returns only once the device has given the buffer back, so the next command is read after the
// message has gone out.
void DeviceSink::longMessage(std::vector<char>& bytes) {
  // A header of length 0 still goes to the driver, which decides what it makes of it.
  char none = 0;
  MIDIHDR header{};
  header.lpData = bytes.empty() ? &none : bytes.data();
  header.dwBufferLength = static_cast<DWORD>(bytes.size());
  header.dwFlags = 0;
  if (midiOutPrepareHeader(out_, &header, sizeof header) != MMSYSERR_NOERROR) return;
  midiOutLongMsg(out_, &header, sizeof header);
  while (midiOutUnprepareHeader(out_, &header, sizeof header) == MIDIERR_STILLPLAYING) {
  }
}
