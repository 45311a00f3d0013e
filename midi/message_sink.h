// The way up from the MIDI layer: the messages it sends unasked ("midi" and "connection") go to
// one sink that the host installs, so that this layer knows nothing of frames or standard output.
#pragma once

#include <string_view>

namespace melvix {

enum class MessageKind {
  kMidi,  // one short message's bytes; may be dropped when the browser has stopped reading
  // A short message of a real-time status (F8 to FF): it may come in the middle of a
  // system-exclusive message without ending it.
  kRealTime,
  // One buffer of a system-exclusive message. A message reaches the browser whole or not at all:
  // its pieces are held back until its F7 and then queued together, or dropped together.
  kSysexWhole,   // a whole message, F0 to F7
  kSysexStart,   // the first piece of a longer one
  kSysexMiddle,  // neither its first nor its last piece
  kSysexEnd,     // its last piece, ending in F7
  // No text: the system-exclusive message under way, if any, will never end (the input was
  // replaced, or the driver handed a buffer back in error), so what is held of it is dropped.
  kSysexCut,
  kConnection,  // the device set changed; carries no data, so one waiting stands for any number
};

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Takes one message text for the browser. Never waits for the browser: called on the input
  // callback's thread and on the watcher's.
  virtual void Post(MessageKind kind, std::string_view text) = 0;
};

}  // namespace melvix
