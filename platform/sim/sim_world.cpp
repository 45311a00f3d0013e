#include "platform/sim/sim_world.h"

#include <algorithm>
#include <cstdlib>

#include "platform/sim/control_lines.h"
#include "platform/sim/input_handle.h"

namespace sim {

namespace {

// The in-memory logs keep the latest 100,000 to 200,000 lines or messages.
constexpr std::size_t kCallLogLimit = 200000;

}  // namespace

World& World::get() {
  // Never destroyed: device threads and the control poller may outlive main's static destructors.
  static World* world = new World();
  return *world;
}

World::World() {
  const char* dir = std::getenv("MELVIX_SIM_DIR");
  if (dir != nullptr && *dir != 0) {
    controlDir_ = dir;
  } else {
    // Nothing configured: a newcomer on Linux sees ports.
    for (const auto& [direction, profile] : defaultDevices()) addLocked(direction, profile);
  }
}

namespace {

bool namePresent(const std::vector<std::shared_ptr<Device>>& list, const std::u16string& name) {
  for (const auto& device : list) {
    if (device->profile.name == name) return true;
  }
  return false;
}

std::u16string numbered(int unit, const std::u16string& name) {
  std::u16string text;
  for (char c : std::to_string(unit) + "- ") text.push_back(static_cast<char16_t>(c));
  return text + name;
}

}  // namespace

void World::noteListChange(Direction d) {
  if (!newStack.load()) return;
  CountCache& cache = counts[side(d)];
  const auto now = std::chrono::steady_clock::now();
  if (now >= cache.due) cache.shown = static_cast<UINT>(list(d).size());
  cache.due = now + std::chrono::milliseconds(newStackOptions.countLagMs);
}

UINT World::shownCount(Direction d) {
  const auto size = static_cast<UINT>(list(d).size());
  if (!newStack.load()) return size;
  CountCache& cache = counts[side(d)];
  if (std::chrono::steady_clock::now() >= cache.due) cache.shown = size;
  return cache.shown;
}

UINT World::addLocked(Direction d, const DeviceSpec& profile) {
  auto device = std::make_shared<Device>();
  device->direction = d;
  device->profile = profile;
  if (newStack.load()) {
    noteListChange(d);
    // A second unit of one model is told apart by a number before its name.
    const std::u16string base = profile.name;
    int& plugged = unitsPlugged[base];
    ++plugged;
    if (namePresent(list(d), base)) {
      int unit = 2;
      if (newStackOptions.prefixGrows) {
        unit = std::max(2, plugged);
      } else {
        while (namePresent(list(d), numbered(unit, base))) ++unit;
      }
      device->profile.name = numbered(unit, base);
    }
  }
  device->quotedName = quoted(device->profile.name);
  if (profile.registryName) {
    const std::u16string& name = *profile.registryName;
    std::vector<BYTE> data;
    for (char16_t unit : name) {
      data.push_back(static_cast<BYTE>(unit & 0xFF));
      data.push_back(static_cast<BYTE>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    registry[lowerCase(manufacturerKeyPath(profile.manufacturerGuid))][u"name"] = data;
  }
  list(d).push_back(device);
  return static_cast<UINT>(list(d).size() - 1);
}

std::shared_ptr<Device> World::find(Direction d, const std::u16string& name) {
  for (auto& device : list(d)) {
    if (device->present && device->profile.name == name) return device;
  }
  return nullptr;
}

namespace {

// Handle values of inputs: far above any device id, so that a capability query can tell them apart.
constexpr std::uintptr_t kInputHandleBase = 0x4D490000;
constexpr std::uintptr_t kInputHandleStep = 0x10;

}  // namespace

InputHandle* World::input(HMIDIIN handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kInputHandleBase || (value - kInputHandleBase) % kInputHandleStep != 0)
    return nullptr;
  const std::size_t slot = (value - kInputHandleBase) / kInputHandleStep;
  return slot < inputSlots.size() ? inputSlots[slot] : nullptr;
}

HMIDIIN World::addInput(InputHandle* in) {
  std::size_t slot = 0;
  while (slot < inputSlots.size() && inputSlots[slot] != nullptr) ++slot;
  if (slot == inputSlots.size()) inputSlots.push_back(nullptr);
  inputSlots[slot] = in;
  return reinterpret_cast<HMIDIIN>(kInputHandleBase + slot * kInputHandleStep);
}

void World::removeInput(HMIDIIN handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  const std::size_t slot = (value - kInputHandleBase) / kInputHandleStep;
  if (slot < inputSlots.size()) inputSlots[slot] = nullptr;
}

bool World::takeFault(Device& device, Fault fault) {
  auto it = device.faults.find(fault);
  if (it == device.faults.end() || it->second == 0) return false;
  if (it->second > 0) --it->second;
  return true;
}

void World::appendToFile(std::FILE*& file, const char* name, const std::string& line) {
  if (controlDir_.empty()) return;
  if (file == nullptr) {
    file = std::fopen((controlDir_ + "/" + name).c_str(), "a");
    if (file == nullptr) return;
  }
  std::fputs(line.c_str(), file);
  std::fputc('\n', file);
  std::fflush(file);
}

void World::record(std::string line) {
  // A host that watches for hours makes dozens of calls a second; the log keeps the latest ones.
  if (callLog.size() >= kCallLogLimit)
    callLog.erase(callLog.begin(), callLog.begin() + kCallLogLimit / 2);
  appendToFile(callsFile_, "calls", line);
  callLog.push_back(std::move(line));
}

void World::recordReceived(Received r) {
  // A host that plays for hours sends millions of messages; the log keeps the latest ones.
  if (receivedLog.size() >= kCallLogLimit)
    receivedLog.erase(receivedLog.begin(), receivedLog.begin() + kCallLogLimit / 2);
  // The line is made only for a file to take it.
  if (!controlDir_.empty()) appendToFile(receivedFile_, "received", r.toString());
  receivedLog.push_back(std::move(r));
}

void World::recordBox(const std::string& text) {
  boxes.push_back(text);
  appendToFile(boxesFile_, "boxes", text);
}

std::u16string lowerCase(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return s;
}

std::string Received::toString() const {
  return quoted(device) + (isLong ? " long " : " short ") + hexBytes(bytes);
}

void queueShort(Device& input, DWORD message) {
  if (input.input != nullptr) input.input->pushShort(message);
}

void queueSysex(Device& input, const std::vector<BYTE>& bytes) {
  if (input.input != nullptr) input.input->pushSysex(bytes);
}

}  // namespace sim
