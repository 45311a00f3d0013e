// Inside the simulation: the device set, the open handles and the records that tests read back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/control_lines.h"
#include "platform/sim/input_queue.h"
#include "platform/sim/sim_control.h"

namespace sim {

class InputHandle;
class Notifier;

struct Device {
  Direction direction = Direction::kOut;
  DeviceSpec profile;
  std::string quotedName;        // the name as the call log writes it, made once
  bool present = true;           // false once removed; open handles keep the object alive
  std::map<Fault, int> faults;   // remaining failures; -1 means always
  bool open = false;             // a device serves one client at a time
  InputHandle* input = nullptr;  // the open handle of an input device
  // An input that produces events as fast as it is read. Atomic: its delivery thread reads it.
  std::atomic<FloodMode> flood{FloodMode::kOff};
  // Set by "late" and "ring": inputs opened from then on deliver their data through it, on its
  // own thread, and it outlives their handles.
  std::shared_ptr<Notifier> notifier;
  // An output that keeps each long message's buffer this long after midiOutLongMsg (-1: until
  // midiOutReset); 0 gives it back at once.
  long holdMs = 0;
  // Messages a counted flood still owes (0: no limit), and whether it notes when each one is
  // delivered. Set before `flood`; read by the delivery thread.
  std::atomic<std::uint64_t> floodLeft{0};
  std::atomic<bool> floodTimed{false};
  // Messages a second a flood makes at most (0: as many as are taken). Set before `flood`.
  std::atomic<std::uint64_t> floodPace{0};
};

struct OutputHandle {
  std::shared_ptr<Device> device;
  // Long-message buffers the device still plays, with the moment each is given back; guarded by
  // the world's mutex.
  std::map<const MIDIHDR*, std::chrono::steady_clock::time_point> held;
};

// The one simulated machine. Every member is guarded by `mutex` unless it says otherwise.
class World {
 public:
  static World& get();

  std::mutex mutex;
  std::vector<std::shared_ptr<Device>> outs;
  std::vector<std::shared_ptr<Device>> ins;
  std::set<const void*> liveHandles;  // open HMIDIOUT values
  // Open inputs by slot. As Wine does, a handle value names a slot, so a new opening can get the
  // very value a closed one had.
  std::vector<InputHandle*> inputSlots;
  // Control lines applied at the start of the next midiOutOpen or midiInOpen: the device list
  // changes between the program's search and its open.
  std::deque<std::string> onOpen;
  // Run once, outside the mutex, after the next device count of a direction (indexed by side).
  std::function<void()> afterCount[2];
  // How long a message box waits before it is answered (-1: never).
  long boxWaitMs = 0;
  // "stack new": the devices behave as behind Windows MIDI Services' WinMM layer (wdmaud2.drv and
  // midisrv) rather than a classic driver. Atomic: device threads read it without the mutex.
  std::atomic<bool> newStack{false};
  NewStackOptions newStackOptions;
  // The device count that the new stack's midiXGetNumDevs answers: a cache, updated countLagMs
  // after the device list changes.
  struct CountCache {
    UINT shown = 0;
    std::chrono::steady_clock::time_point due;
  };
  CountCache counts[2];
  // Devices of each name plugged in so far under the new stack, for its "2- Name" prefixes.
  std::map<std::u16string, int> unitsPlugged;
  std::vector<std::string> callLog;
  std::vector<Received> receivedLog;
  std::vector<std::string> boxes;
  // Lower-cased key path -> lower-cased value name -> data.
  std::map<std::u16string, std::map<std::u16string, std::vector<BYTE>>> registry;

  std::vector<std::shared_ptr<Device>>& list(Direction d) {
    return d == Direction::kOut ? outs : ins;
  }
  // Indexes the arrays kept for each direction: 0 outputs, 1 inputs.
  static std::size_t side(Direction d) { return d == Direction::kOut ? 0 : 1; }
  std::shared_ptr<Device> find(Direction d, const std::u16string& name);  // first present one
  // The open input behind a handle value, or null.
  InputHandle* input(HMIDIIN handle);
  // Takes the lowest free slot for `in` and returns its handle value.
  HMIDIIN addInput(InputHandle* in);
  void removeInput(HMIDIIN handle);
  UINT addLocked(Direction d, const DeviceSpec& profile);
  // The list of `d` is about to change: the new stack's count keeps showing the old size a while.
  void noteListChange(Direction d);
  // What midiXGetNumDevs answers now.
  UINT shownCount(Direction d);
  // Consumes one failure of `fault` for `device`; true when the call must fail.
  bool takeFault(Device& device, Fault fault);

  // Appends to the call log (and the control directory's "calls" file). Needs `mutex`.
  void record(std::string line);
  void recordReceived(Received r);
  void recordBox(const std::string& text);

  // The control directory named by MELVIX_SIM_DIR, or empty. Fixed at start.
  const std::string& controlDir() const { return controlDir_; }

 private:
  World();
  void appendToFile(std::FILE*& file, const char* name, const std::string& line);

  std::string controlDir_;
  std::FILE* callsFile_ = nullptr;
  std::FILE* receivedFile_ = nullptr;
  std::FILE* boxesFile_ = nullptr;
};

// Reads new lines of the control file, if one is in use. Every API entry calls this first, so a
// test's changes take effect before the program's next call; a poller calls it too, so input
// arrives while the program waits for requests.
void syncControl();
// Stops the control reader (tests that drive the simulation directly).
void stopControl();
// Calls on this thread no longer read the control file: a driver's own thread, whose callbacks
// must not wait for the control reader, which may itself wait for that driver.
void skipControlOnThisThread();
// Applies one control line; false when it cannot be understood.
bool applyControlLine(const std::string& line);

std::u16string lowerCase(std::u16string s);

// Whether midiInStop, midiInReset and midiInClose make their callbacks on the calling thread
// rather than on the device's own. Read by every thread that calls them; atomic.
bool callbacksOnCallingThread();

// Delivers input to an open, started input device (loopback outputs use this too). Needs the
// world's mutex held.
void queueShort(Device& input, DWORD message);
void queueSysex(Device& input, const std::vector<BYTE>& bytes);

}  // namespace sim
