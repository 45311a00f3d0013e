#include "midi/input_callback.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <thread>

#include "midi/message_sink.h"

namespace melvix {

namespace {

// A "midi" frame's text, built on the stack: the longest is a full buffer's, every byte three
// digits and a comma.
class MidiText {
 public:
  void append(std::string_view part) {
    std::copy(part.begin(), part.end(), text_ + size_);
    size_ += part.size();
  }
  void appendDecimal(std::uint32_t value) {
    size_ = static_cast<std::size_t>(std::to_chars(text_ + size_, text_ + sizeof text_, value).ptr -
                                     text_);
  }
  std::string_view view() const { return std::string_view(text_, size_); }

 private:
  char text_[16 + 10 + 4 * EventBytes::kMost + 1];
  std::size_t size_ = 0;
};

// What the frame queue must know of a buffer of system-exclusive data to drop a message whole:
// whether it starts one (F0) and whether it ends one (F7).
MessageKind sysexPiece(const EventBytes& bytes) {
  const bool starts = bytes.data[0] == 0xF0;
  const bool ends = bytes.data[bytes.size - 1] == 0xF7;
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
  ForwardInput(InputEvent{instance, device, message, param1, param2});
}

void ForwardInput(const InputEvent& event) {
  UsingTarget using_;
  CMidi* midi = callbackTarget.load();
  CMidiIn* port = midi != nullptr ? midi->Gate().Enter(event.instance) : nullptr;
  if (port == nullptr) {
    // Not an event of the current opening of the current port: a port that is closing, or a
    // device closed or replaced whose driver delivers late (its handle value may even be the
    // current one's). Its buffers may be gone already, so nothing the event points at is touched.
    return;
  }
  const UINT message = event.message;
  EventBytes bytes;
  port->Receive(event, bytes);
  // The clock is read while this callback still counts as inside, so that the object it belongs
  // to cannot be taken down meanwhile.
  const std::uint32_t now = bytes.empty() ? 0 : midi->Time();
  midi->Gate().Leave();
  // A buffer handed back in error ends the system-exclusive message it was part of (the new
  // Windows MIDI stack returns one cut by a status byte so): the rest of it will never come.
  if (message == MIM_LONGERROR) midi->Post(MessageKind::kSysexCut, std::string_view());
  if (bytes.empty()) return;
  // Built in place: while input pours in, this thread spends its time here. The frame is only
  // queued: a browser that reads slowly must not hold up the driver's thread.
  MidiText text;
  text.append("[\"midi\",");
  text.appendDecimal(now);
  for (std::size_t i = 0; i < bytes.size; ++i) {
    text.append(",");
    text.appendDecimal(bytes.data[i]);
  }
  text.append("]");
  const MessageKind kind = message == MIM_LONGDATA ? sysexPiece(bytes)
                           : bytes.data[0] >= 0xF8 ? MessageKind::kRealTime
                                                   : MessageKind::kMidi;
  midi->Post(kind, text.view());
}

}  // namespace melvix
