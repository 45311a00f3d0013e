// The devices the test driver serves inside a Wine process, driven by the same control directory
// as the simulation on Linux (MELVIX_SIM_DIR: "control" in, "calls" and "received" out).
//
// Wine's WinMM asks a driver for its device count once, when it starts, and uses device ids below
// that count for ever after. So the driver reserves a fixed number of slots per direction: a
// plugged device fills the lowest free slot, an unplugged one leaves its slot empty, and an empty
// slot answers the capability query with an error.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/control_lines.h"
#include "platform/sim/input_queue.h"

namespace wdrv {

using sim::DeviceSpec;
using sim::Direction;
using sim::Fault;
using sim::FloodMode;

constexpr UINT kSlots = 64;

class InputPort;
class LateQueue;

struct Device {
  Direction direction = Direction::kOut;
  DeviceSpec profile;
  bool present = true;              // false once unplugged; an open instance keeps the object
  std::map<Fault, int> faults;      // remaining failures; -1 means always
  bool open = false;                // a device serves one client at a time
  InputPort* input = nullptr;       // the open instance of an input device
  std::shared_ptr<LateQueue> late;  // "late": the delivery queue of inputs opened from now on
  long holdMs = 0;                  // "hold": how long an output keeps a long message (-1: ever)
  std::atomic<FloodMode> flood{FloodMode::kOff};  // read by the input's delivery thread
};

// The one device set of the process. Every member is guarded by `mutex`. Lock order: `mutex`
// before an input port's own mutex; never while calling a program's callback.
class Devices {
 public:
  static Devices& get();

  std::mutex mutex;

  std::array<std::shared_ptr<Device>, kSlots>& slots(Direction d) {
    return d == Direction::kOut ? outs_ : ins_;
  }
  // "stack new": the devices behave as behind Windows MIDI Services' WinMM layer, as far as a
  // driver can show it (the count stays the slots'); "stack classic" ends it. Options as the
  // simulation's, the count's lag aside.
  bool newStack = false;
  sim::NewStackOptions newStackOptions;

  std::shared_ptr<Device> at(Direction d, UINT id);  // the plugged device in that slot
  std::shared_ptr<Device> find(Direction d, const std::u16string& name);  // the lowest one
  // False when every slot is taken. Under the new stack a second unit of a name present is named
  // "2- Name".
  bool plug(Direction d, const DeviceSpec& profile);
  bool unplug(Direction d, const std::u16string& name);
  // Pulls a device out: an open input hands its queued buffers back, and from then on every
  // message on its instance but the close answers MMSYSERR_NODRIVER.
  void unplug(Device& device);
  // Consumes one failure of `fault`; true when the call must fail.
  bool takeFault(Device& device, Fault fault);

  // Appends a line to the control directory's "calls" or "received" file.
  void record(const std::string& line);
  void recordReceived(const std::u16string& device, bool isLong, const std::vector<BYTE>& bytes);

  // The control directory as a Windows path (empty: the embedded default devices serve).
  const std::wstring& dir() const { return dir_; }

 private:
  Devices();
  void append(HANDLE& file, const wchar_t* name, const std::string& line);

  bool namePresent(Direction d, const std::u16string& name);

  // Units of each name plugged in under the new stack so far, for its "2- Name" prefixes.
  std::map<std::u16string, int> unitsPlugged_[2];
  std::array<std::shared_ptr<Device>, kSlots> outs_;
  std::array<std::shared_ptr<Device>, kSlots> ins_;
  std::wstring dir_;
  HANDLE calls_ = INVALID_HANDLE_VALUE;
  HANDLE received_ = INVALID_HANDLE_VALUE;
};

// Applies the control file's new lines. Every driver message calls this first, so a test's
// changes take effect before the program's next call; the first call also starts a poller that
// calls it every 5 ms, so input arrives while the program waits.
void syncControl();
// Applies the lines kept by "onopen LINE": a device list that changes between a program's search
// for a name and its open.
void applyOnOpen();

}  // namespace wdrv
