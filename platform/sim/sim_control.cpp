// The control API through which tests shape the simulated devices.
#include "platform/sim/sim_control.h"

#include <atomic>
#include <vector>

#include "platform/sim/input_handle.h"
#include "platform/sim/sim_world.h"

namespace sim {

namespace {

std::atomic<bool> closingCallbacksOnCaller{false};

// Runs `action` on the open input handle of the first present input device of that name, outside
// the world's mutex. False when there is no such device.
template <typename Action>
bool withInput(const std::u16string& name, Action action) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto device = world.find(Direction::kIn, name);
  if (!device) return false;
  // Pushing only queues; the handle's own mutex orders it after the world's.
  if (device->input != nullptr) action(*device->input);
  return true;
}

// A device pulled out: an open input gives its buffers back, but for the new stack's, which keeps
// them (and so can never be closed); needs the world's mutex.
void unplugLocked(World& world, Device& device) {
  device.present = false;
  device.flood = FloodMode::kOff;
  if (device.input != nullptr) device.input->unplug(!world.newStack.load());
}

}  // namespace

bool callbacksOnCallingThread() { return closingCallbacksOnCaller.load(); }

void setCallbacksOnCallingThread(bool onCallingThread) {
  closingCallbacksOnCaller.store(onCallingThread);
}

void reset() {
  stopControl();
  closingCallbacksOnCaller.store(false);
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  for (auto* list : {&world.outs, &world.ins}) {
    for (auto& device : *list) device->present = false;
    list->clear();
  }
  world.callLog.clear();
  world.receivedLog.clear();
  world.boxes.clear();
  world.registry.clear();
  world.onOpen.clear();
  for (auto& action : world.afterCount) action = nullptr;
  world.boxWaitMs = 0;
  world.newStack.store(false);
  world.newStackOptions = {};
  for (auto& cache : world.counts) cache = {};
  world.unitsPlugged.clear();
  setClockTick(0);
}

void setNewStack(bool on, const NewStackOptions& options) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.newStack.store(on);
  world.newStackOptions = options;
  for (auto& cache : world.counts) cache = {};
}

void addDefaultDevices() {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  for (const auto& [direction, profile] : defaultDevices()) world.addLocked(direction, profile);
}

UINT addDevice(Direction d, const DeviceSpec& profile) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  return world.addLocked(d, profile);
}

bool removeDevice(Direction d, const std::u16string& name) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto& list = world.list(d);
  for (auto it = list.begin(); it != list.end(); ++it) {
    if ((*it)->profile.name == name) {
      world.noteListChange(d);
      unplugLocked(world, **it);
      list.erase(it);
      return true;
    }
  }
  return false;
}

bool removeDeviceAt(Direction d, UINT id) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto& list = world.list(d);
  if (id >= list.size()) return false;
  world.noteListChange(d);
  unplugLocked(world, *list[id]);
  list.erase(list.begin() + id);
  return true;
}

std::vector<std::u16string> deviceNames(Direction d) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  std::vector<std::u16string> names;
  for (auto& device : world.list(d)) names.push_back(device->profile.name);
  return names;
}

bool setFault(Direction d, const std::u16string& name, Fault fault, int times) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto device = world.find(d, name);
  if (!device) return false;
  device->faults[fault] = times;
  return true;
}

bool deliverShort(const std::u16string& input, DWORD message) {
  return withInput(input, [&](InputHandle& in) { in.pushShort(message); });
}

bool deliverSysex(const std::u16string& input, const std::vector<BYTE>& bytes) {
  return withInput(input, [&](InputHandle& in) { in.pushSysex(bytes); });
}

bool deliverError(const std::u16string& input, DWORD message) {
  return withInput(input, [&](InputHandle& in) { in.pushError(message); });
}

bool deliverLongError(const std::u16string& input, const std::vector<BYTE>& bytes) {
  return withInput(input, [&](InputHandle& in) { in.pushSysex(bytes, true); });
}

void drainInput() {
  std::vector<InputHandle*> handles;
  World& world = World::get();
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    for (auto& device : world.ins) {
      if (device->input != nullptr) handles.push_back(device->input);
    }
  }
  // The program closes its inputs on its own thread; tests drain only while none is closing.
  for (InputHandle* in : handles) in->drain();
}

std::vector<Received> received() {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  return world.receivedLog;
}

void clearReceived() {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.receivedLog.clear();
}

std::vector<std::string> calls() {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  return world.callLog;
}

void clearCalls() {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.callLog.clear();
}

std::vector<std::string> messageBoxes() {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  return world.boxes;
}

void afterNextCount(Direction d, std::function<void()> action) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.afterCount[World::side(d)] = std::move(action);
}

}  // namespace sim
