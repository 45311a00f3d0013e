#include "midi/input_callback.h"

#include <atomic>
#include <charconv>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "midi/message_sink.h"

namespace {

void appendDecimal(std::string& text, std::uint32_t value) {
  char digits[10];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  text.append(digits, end);
}

// What the frame queue must know of a buffer of system-exclusive data to drop a message whole:
// whether it starts one (F0) and whether it ends one (F7).
MessageKind sysexPiece(const std::vector<unsigned char>& bytes) {
  const bool starts = bytes.front() == 0xF0;
  const bool ends = bytes.back() == 0xF7;
  if (starts) return ends ? MessageKind::kSysexWhole : MessageKind::kSysexStart;
  return ends ? MessageKind::kSysexEnd : MessageKind::kSysexMiddle;
}

// Read by the input callback's thread; atomic so that a test may swap it between runs.
std::atomic<CMidi*> callbackTarget{nullptr};
// Callbacks between taking the target and their last use of it. A driver may still deliver on a
// device the host gave up (it is never closed), so a target taken away is only safe to destroy
// once none of them is left. Counted before the target is read: one that read the old target is
// always seen by the setter (both sequentially consistent).
std::atomic<int> callbacksUsingTarget{0};

// Marks one callback's use of the target. On the input callback's thread; never waits.
class UsingTarget {
 public:
  UsingTarget() { callbacksUsingTarget.fetch_add(1); }
  ~UsingTarget() { callbacksUsingTarget.fetch_sub(1); }
  UsingTarget(const UsingTarget&) = delete;
  UsingTarget& operator=(const UsingTarget&) = delete;
};

}  // namespace

void setInputCallbackTarget(CMidi* midi) {
  callbackTarget.store(midi);
  // Callbacks are short and never wait, so this ends at once but for a moment's spinning.
  while (callbacksUsingTarget.load() != 0) std::this_thread::yield();
}

void CALLBACK InputCallback(HMIDIIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                            DWORD_PTR param2) {
  if (message == MIM_OPEN) return;
  if (message == MIM_CLOSE) {
    UsingTarget using_;
    // A driver that closes the current opening by itself has given the device up: it is looked
    // for again, as one pulled out is.
    CMidi* midi = callbackTarget.load();
    if (midi != nullptr && midi->Gate().Closed(instance)) midi->NotePortGone();
    return;
  }
  ForwardInput(new InputEvent{instance, device, message, param1, param2});
}

void ForwardInput(InputEvent* event) {
  UsingTarget using_;
  CMidi* midi = callbackTarget.load();
  CMidiIn* port = midi != nullptr ? midi->Gate().Enter(event->instance) : nullptr;
  if (port == nullptr) {
    // Not an event of the current opening of the current port: a port that is closing, or a
    // device closed or replaced whose driver delivers late (its handle value may even be the
    // current one's). Its buffers may be gone already, so nothing the event points at is touched.
    delete event;
    return;
  }
  const UINT message = event->message;
  std::vector<unsigned char> bytes;
  port->Receive(event, bytes);
  // The clock is read while this callback still counts as inside, so that the object it belongs
  // to cannot be taken down meanwhile.
  const std::uint32_t now = bytes.empty() ? 0 : midi->Time();
  midi->Gate().Leave();
  // A buffer handed back in error ends the system-exclusive message it was part of (the new
  // Windows MIDI stack returns one cut by a status byte so): the rest of it will never come.
  if (message == MIM_LONGERROR) midi->Post(MessageKind::kSysexCut, std::string());
  if (bytes.empty()) return;
  // Built in place: while input pours in, this thread spends its time here. The frame is only
  // queued: a browser that reads slowly must not hold up the driver's thread.
  std::string text = "[\"midi\",";
  text.reserve(text.size() + 10 + bytes.size() * 4 + 1);
  appendDecimal(text, now);
  for (unsigned char b : bytes) {
    text += ',';
    appendDecimal(text, b);
  }
  text += ']';
  const MessageKind kind = message == MIM_LONGDATA ? sysexPiece(bytes)
                           : bytes.front() >= 0xF8 ? MessageKind::kRealTime
                                                   : MessageKind::kMidi;
  midi->Post(kind, std::move(text));
}
