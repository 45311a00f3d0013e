// melvixhost: the native-messaging host that gives a browser extension the MIDI devices.
#include <string>

#include "host/command_handlers.h"
#include "host/frame_reader.h"
#include "host/frame_writer.h"
#include "host/request_tokenizer.h"
#include "midi/cmidi_win32.h"
#include "midi/midi_system.h"

namespace {

// A request text longer than this does not keep its memory for the next one.
constexpr std::size_t kTextKept = 64 * 1024;

}  // namespace

int main() {
  useBinaryStandardStreams();
  // Both live until the process ends; at the end of input it ends at once, ports still open.
  auto* midi = new CMidiWin32();
  setMidiSystem(midi);
  CMidiLock* outputLock = midi->NewLock().release();
  // Frames go straight to descriptor 1, standard output, one write each; the C runtime's stream
  // is not used for them.
  setFrameOutputFile(outputLock, 1);
  std::string storage;
  Request scratch;
  for (;;) {
    handleRequest(readMessage(storage), scratch, *midi);
    if (storage.capacity() > kTextKept) std::string().swap(storage);
  }
}
