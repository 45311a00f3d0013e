// The way up from the MIDI layer: the messages it sends unasked ("midi" and "connection") go to
// one sink that the host installs, so that this layer knows nothing of frames or standard output.
#pragma once

#include <string>

enum class MessageKind {
  kMidi,  // one short message's bytes; may be dropped when the browser has stopped reading
  // One buffer of a system-exclusive message, which may be dropped too, but never alone: once one
  // piece is dropped, so is every later piece of that message.
  kSysexWhole,   // a whole message, F0 to F7
  kSysexStart,   // the first piece of a longer one
  kSysexMiddle,  // neither its first nor its last piece
  kSysexEnd,     // its last piece, ending in F7
  kConnection,   // the device set changed; carries no data, so one waiting stands for any number
};

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Takes one message text for the browser. Never waits for the browser: called on the input
  // callback's thread and on the watcher's.
  virtual void Post(MessageKind kind, std::string text) = 0;
};
