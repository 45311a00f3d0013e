// melvixplay: plays a textual stream of MIDI messages from standard input on output device 0
// (the commands are described in command_stream.h). Nothing is printed; the exit code is always 0.
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/winapi.h"
#include "play/command_stream.h"

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

  DeviceSink device(out);
  playCommands(stdin, device);

  midiOutReset(out);
  midiOutClose(out);
  return 0;
}
