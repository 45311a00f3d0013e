// melvixplay: plays a textual stream of MIDI messages from standard input on output device 0
// (the commands are described in command_stream.h). Nothing is printed; the exit code is always 0.
#include <cstdio>

#include "platform/winapi.h"
#include "play/command_stream.h"

int main() {
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
