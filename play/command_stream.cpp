#include "play/command_stream.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace melvix {

namespace {

// A long message as the driver sees it: the header and the bytes live and die together, so that a
// driver that never gives the buffer back keeps both rather than freed memory.
struct LongMessage {
  MIDIHDR header{};
  std::vector<char> bytes;
};

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

void playCommands(std::FILE* in, PlayedMessages& sink) {
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

namespace {

// How long a driver may keep a long message before it counts as stuck: its time on MIDI's wire
// (31,250 bits a second, 10 bits a byte), half as long again, and 300 ms.
std::chrono::milliseconds stuckAfter(std::size_t bytes) {
  // In 64 bits: in a 32-bit size_t, bytes * 10,000 wraps above 429,496 bytes.
  const auto wireMs = static_cast<std::chrono::milliseconds::rep>(
      static_cast<std::uint64_t>(bytes) * 10 * 1000 / 31250);
  return std::chrono::milliseconds(wireMs + wireMs / 2 + 300);
}

}  // namespace

// Returns only once the device has given the buffer back, so the next command is read after the
// message has gone out. The device gets a pause between two asks, and a reset once it has held the
// buffer far longer than sending takes.
void DeviceSink::longMessage(std::vector<char>& bytes) {
  auto message = std::make_unique<LongMessage>();
  const auto length = static_cast<DWORD>(bytes.size());
  message->bytes.swap(bytes);
  // A header of length 0 still goes to the driver, which decides what it makes of it.
  if (message->bytes.empty()) message->bytes.push_back(0);
  MIDIHDR& header = message->header;
  header.lpData = message->bytes.data();
  header.dwBufferLength = length;
  header.dwFlags = 0;
  if (midiOutPrepareHeader(out_, &header, sizeof header) != MMSYSERR_NOERROR) return;
  midiOutLongMsg(out_, &header, sizeof header);
  const auto giveUp = std::chrono::steady_clock::now() + stuckAfter(length);
  MMRESULT result = midiOutUnprepareHeader(out_, &header, sizeof header);
  if (result == MIDIERR_STILLPLAYING) {
    // A Sleep(1) lasts a whole default timer tick (about 15.6 ms) in a process that has not asked
    // for 1 ms, and the next note would wait that long: asked for while the wait lasts.
    const bool fine = timeBeginPeriod(1) == TIMERR_NOERROR;
    while (result == MIDIERR_STILLPLAYING && std::chrono::steady_clock::now() < giveUp) {
      Sleep(1);
      result = midiOutUnprepareHeader(out_, &header, sizeof header);
    }
    if (result == MIDIERR_STILLPLAYING) {
      midiOutReset(out_);
      for (int attempt = 0; attempt < 20 && result == MIDIERR_STILLPLAYING; ++attempt) {
        result = midiOutUnprepareHeader(out_, &header, sizeof header);
        if (result == MIDIERR_STILLPLAYING) Sleep(1);
      }
    }
    if (fine) timeEndPeriod(1);
  }
  // Not given back: left to the driver rather than freed under it, and kept reachable.
  if (result != MMSYSERR_NOERROR) {
    static auto* leftToDriver = new std::vector<std::unique_ptr<LongMessage>>();
    leftToDriver->push_back(std::move(message));
  }
}

}  // namespace melvix
