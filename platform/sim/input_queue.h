// What an open input keeps for its program, the same in the simulation and in the test driver that
// serves the simulated devices under Wine: the events taken in and not yet delivered, and the
// program's buffers that system-exclusive data is written into. Each owner guards these with a lock
// of its own and makes the callbacks on threads of its own; nothing here locks, waits or calls
// back, and nothing touches the device set, so it builds for any system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/winapi.h"

namespace sim {

// An input that produces events as fast as they are read, and what it produces.
enum class FloodMode { kOff, kShort, kSysex, kMixed };

struct InputEvent {
  enum Kind { kShort, kSysex, kError, kLongError } kind = kShort;
  DWORD message = 0;        // of a short message or an error
  std::vector<BYTE> bytes;  // of system-exclusive data or a long error
  std::size_t offset = 0;   // how much of `bytes` has been delivered

  // System-exclusive data and long errors reach the program only in a buffer it queued.
  bool needsBuffer() const { return kind == kSysex || kind == kLongError; }
  // MIM_DATA, MIM_ERROR, MIM_LONGDATA or MIM_LONGERROR.
  UINT callbackMessage() const;
  // Nothing of it is left to deliver; a long error reports one buffer and ends there.
  bool delivered() const { return !needsBuffer() || kind == kLongError || offset >= bytes.size(); }
};

// midiInAddBuffer: a prepared buffer that is not queued yet joins the end of the queue, empty.
MMRESULT queueBuffer(std::deque<MIDIHDR*>& buffers, MIDIHDR* header);

// Takes the oldest queued buffer, fills it with the next part of `e` (whose offset moves on) and
// marks it done, ready to be handed to the program. Needs a queued buffer.
MIDIHDR* fillNextBuffer(std::deque<MIDIHDR*>& buffers, InputEvent& e);

// Marks a buffer done with nothing in it, as midiInReset hands back every queued one.
void markReturnedEmpty(MIDIHDR* header);

// The state of one open input that both owners keep alike; `Event` is InputEvent or an owner's
// extension of it. Guarded by the owner's lock.
template <typename Event>
struct InputQueue {
  bool started = false;
  std::deque<Event> events;
  std::deque<MIDIHDR*> buffers;

  MMRESULT addBuffer(MIDIHDR* header) { return queueBuffer(buffers, header); }
  // The front event can be delivered now: the input is started, and there is a buffer for the
  // event if it needs one.
  bool ready() const {
    return started && !events.empty() && (!events.front().needsBuffer() || !buffers.empty());
  }
  // midiInStart; true when the input was stopped, so that its clock starts now.
  bool start() {
    const bool wasStopped = !started;
    started = true;
    return wasStopped;
  }
  // midiInStop: a stopped device records nothing, so what it has not delivered is lost.
  void stop() {
    started = false;
    events.clear();
  }
  // midiInReset: stops, and gives up the queued buffers to be handed back in their order (each
  // with markReturnedEmpty as its callback is made); `keepBuffers`: a driver that keeps them.
  std::deque<MIDIHDR*> reset(bool keepBuffers) {
    stop();
    std::deque<MIDIHDR*> back;
    if (!keepBuffers) back.swap(buffers);
    return back;
  }
};

// Makes `e` the `count`th event of a flood in `mode` (not kOff): a note-on, or a system-exclusive
// message of 6 to 605 bytes every time in a sysex flood and every fourth time in a mixed one.
void makeFloodEvent(FloodMode mode, std::uint32_t count, InputEvent& e);

}  // namespace sim
