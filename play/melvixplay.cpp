// melvixplay: plays a textual stream of MIDI messages from standard input on output device 0
// (the commands are described in command_stream.h). Nothing is printed. The exit code is 0, or
// kNoDevice when device 0 could not be opened.
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/winapi.h"
#include "play/command_stream.h"

namespace melvix {

namespace {

// Device 0 could not be opened (another program holds it, say): nothing was played. Reported, so
// that a script that plays through melvixplay does not take silence for success.
constexpr int kNoDevice = 2;

}  // namespace

}  // namespace melvix

using namespace melvix;

int main() {
#ifdef _WIN32
  // In text mode the C runtime ends the input at a byte 0x1A; every byte must be read, and all but
  // the commands skipped.
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  // When device 0 cannot be opened the handle stays null: the input is still read to its end,
  // every send fails quietly, and the exit code says so.
  HMIDIOUT out = nullptr;
  const bool opened = midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR;

  DeviceSink device(out);
  playCommands(stdin, device);

  midiOutReset(out);
  midiOutClose(out);
  return opened ? 0 : kNoDevice;
}
