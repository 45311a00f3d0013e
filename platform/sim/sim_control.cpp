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
  world.boxWaitMs = 0;
  setClockTick(0);
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
      (*it)->present = false;
      (*it)->flood = FloodMode::kOff;
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
  list[id]->present = false;
  list[id]->flood = FloodMode::kOff;
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

std::u16string u16(const std::string& utf8Text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < utf8Text.size()) {
    auto c = static_cast<unsigned char>(utf8Text[i]);
    char32_t cp = 0;
    std::size_t extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else {
      cp = c & 0x07;
      extra = 3;
    }
    ++i;
    for (std::size_t k = 0; k < extra && i < utf8Text.size(); ++k, ++i) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8Text[i]) & 0x3F);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf8(const std::u16string& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace sim
