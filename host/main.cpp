// melvixhost: the native-messaging host that gives a browser extension the MIDI devices.
#include <string>
#include <string_view>

#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/frame_reader.h"
#include "host/frame_writer.h"
#include "host/request_tokenizer.h"
#include "midi/cmidi_win32.h"
#include "midi/midi_system.h"

int main() {
  useBinaryStandardStreams();
  // Both live until the process ends; at the end of input it ends at once, ports still open.
  auto* midi = new CMidiWin32();
  setMidiSystem(midi);
  CMidiLock* outputLock = midi->NewLock().release();
  // Frames go straight to descriptor 1, standard output, one write each; the C runtime's stream
  // is not used for them.
  setFrameOutputFile(outputLock, 1);
  // Frames wait here for a browser that reads slowly, not in the driver's thread; the replies
  // queued last go out before the end of input ends the process.
  setFrameQueue(new FrameQueue());
  setEndOfInputAction(flushFrameQueue);
  // Replies to requests that came together leave together, before the host waits for more.
  setBeforeInputWaitAction(sendHeldReplies);
  serveRequests(
      [](std::string_view& text, std::string& storage) {
        text = readMessage(storage);
        return true;
      },
      *midi);
}
