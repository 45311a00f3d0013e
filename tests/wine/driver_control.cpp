// The control file's lines applied to the driver's devices. The words are read by the same code
// as the simulation's (platform/sim/control_lines.h); each verb is one entry of a table, so a new
// kind of line is one more function.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/wine/driver_devices.h"
#include "tests/wine/input_port.h"

namespace wdrv {

namespace {

using Words = std::vector<std::string>;

bool applyWords(const Words& words);

// Runs `action` on the open port of the first plugged input of that name, with the devices'
// mutex held. False when there is no such input; input for one that is not open is lost.
template <typename Action>
bool withInput(const std::string& name, Action action) {
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  auto device = devices.find(Direction::kIn, sim::u16(name));
  if (!device) return false;
  if (device->input != nullptr) action(*device->input);
  return true;
}

bool plugLine(const Words& words) {
  Direction d = Direction::kOut;
  DeviceSpec profile;
  if (!sim::parseDirection(words[0], d) || !sim::parseDevice(d, words, profile)) return false;
  // In a 64-bit prefix both builds of the driver read the line: a device for the other bitness is
  // the other build's, as a driver registered in one Drivers32 view only.
  if (!sim::servedToThisProgram(profile)) return true;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  return devices.plug(d, profile);
}

bool removeLine(const Words& words) {
  Direction d = Direction::kOut;
  if (words.size() != 3 || !sim::parseDirection(words[1], d)) return false;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  return devices.unplug(d, sim::u16(words[2]));
}

bool clearLine(const Words& words) {
  if (words.size() != 1) return false;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  for (Direction d : {Direction::kOut, Direction::kIn}) {
    for (auto& device : devices.slots(d)) {
      if (device && device->present) devices.unplug(*device);
    }
  }
  return true;
}

bool defaultsLine(const Words& words) {
  if (words.size() != 1) return false;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  for (const auto& [direction, profile] : sim::defaultDevices()) devices.plug(direction, profile);
  return true;
}

bool shortLine(const Words& words) {
  std::vector<BYTE> bytes;
  if (words.size() < 3 || words.size() > 5 || !sim::parseHexBytes(words, 2, bytes)) return false;
  DWORD message = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) message |= static_cast<DWORD>(bytes[i]) << (8 * i);
  return withInput(words[1], [&](InputPort& port) { port.pushShort(message); });
}

bool sysexLine(const Words& words) {
  std::vector<BYTE> bytes;
  if (words.size() < 3 || !sim::parseHexBytes(words, 2, bytes)) return false;
  return withInput(words[1], [&](InputPort& port) { port.pushSysex(bytes, false); });
}

bool longErrorLine(const Words& words) {
  std::vector<BYTE> bytes;
  if (words.size() < 3 || !sim::parseHexBytes(words, 2, bytes)) return false;
  return withInput(words[1], [&](InputPort& port) { port.pushSysex(bytes, true); });
}

bool errorLine(const Words& words) {
  unsigned long n = 0;
  if (words.size() != 2 && !(words.size() == 3 && sim::parseNumber(words[2], n, 16))) return false;
  return withInput(words[1], [&](InputPort& port) { port.pushError(static_cast<DWORD>(n)); });
}

bool floodLine(const Words& words) {
  static const std::pair<const char*, FloodMode> kModes[] = {{"off", FloodMode::kOff},
                                                             {"short", FloodMode::kShort},
                                                             {"sysex", FloodMode::kSysex},
                                                             {"mixed", FloodMode::kMixed}};
  if (words.size() != 3) return false;
  for (const auto& [name, mode] : kModes) {
    if (words[2] != name) continue;
    Devices& devices = Devices::get();
    std::lock_guard<std::mutex> lock(devices.mutex);
    auto device = devices.find(Direction::kIn, sim::u16(words[1]));
    if (!device) return false;
    device->flood = mode;
    if (device->input != nullptr) device->input->wake();
    return true;
  }
  return false;
}

bool faultLine(const Words& words) {
  Direction d = Direction::kOut;
  Fault fault;
  if ((words.size() != 4 && words.size() != 5) || !sim::parseDirection(words[1], d) ||
      !sim::parseFault(words[3], fault)) {
    return false;
  }
  long times = words.size() == 5 ? std::strtol(words[4].c_str(), nullptr, 10) : -1;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  auto device = devices.find(d, sim::u16(words[2]));
  if (!device) return false;
  device->faults[fault] = static_cast<int>(times);
  return true;
}

// Inputs opened from now on deliver through a queue of the device's, `ms` late.
bool lateLine(const Words& words) {
  unsigned long ms = 0;
  if (words.size() != 3 || !sim::parseNumber(words[2], ms, 10)) return false;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  auto device = devices.find(Direction::kIn, sim::u16(words[1]));
  if (!device) return false;
  device->late = std::make_shared<LateQueue>(static_cast<long>(ms));
  return true;
}

// Inputs opened from now on deliver through a queue of `n` places, posted to with the port's
// buffer lock held.
bool ringLine(const Words& words) {
  unsigned long n = 0;
  if (words.size() != 3 || !sim::parseNumber(words[2], n, 10) || n == 0) return false;
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  auto device = devices.find(Direction::kIn, sim::u16(words[1]));
  if (!device) return false;
  device->late = std::make_shared<LateQueue>(0, n);
  return true;
}

bool holdLine(const Words& words) {
  unsigned long ms = 0;
  if (words.size() != 3 || (words[2] != "forever" && !sim::parseNumber(words[2], ms, 10))) {
    return false;
  }
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  auto device = devices.find(Direction::kOut, sim::u16(words[1]));
  if (!device) return false;
  device->holdMs = words[2] == "forever" ? -1 : static_cast<long>(ms);
  return true;
}

// `stack new [lag N] [prefixgrows]` / `stack classic`. The lag is taken and has nothing to act on:
// Wine's WinMM asked for the count once, and the slots are always 64.
bool stackLine(const Words& words) {
  sim::NewStackOptions options;
  const bool on = words.size() >= 2 && words[1] == "new";
  if (words.size() < 2 || (!on && (words[1] != "classic" || words.size() != 2))) return false;
  for (std::size_t i = 2; i < words.size(); ++i) {
    unsigned long ms = 0;
    if (words[i] == "prefixgrows") {
      options.prefixGrows = true;
    } else if (words[i] == "lag" && i + 1 < words.size() &&
               sim::parseNumber(words[i + 1], ms, 10)) {
      options.countLagMs = static_cast<long>(ms);
      ++i;
    } else {
      return false;
    }
  }
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  devices.newStack = on;
  devices.newStackOptions = options;
  return true;
}

bool repeatLine(const Words& words) {
  unsigned long n = 0;
  if (words.size() < 3 || !sim::parseNumber(words[1], n, 10)) return false;
  Words rest(words.begin() + 2, words.end());
  for (unsigned long i = 0; i < n; ++i) {
    if (!applyWords(rest)) return false;
  }
  return true;
}

// "clock" is missing on purpose: under Wine, timeGetTime is Wine's own.
const std::pair<const char*, bool (*)(const Words&)> kVerbs[] = {
    {"out", plugLine},          {"in", plugLine},
    {"remove", removeLine},     {"clear", clearLine},
    {"defaults", defaultsLine}, {"short", shortLine},
    {"sysex", sysexLine},       {"longerror", longErrorLine},
    {"error", errorLine},       {"flood", floodLine},
    {"fault", faultLine},       {"repeat", repeatLine},
    {"late", lateLine},         {"hold", holdLine},
    {"ring", ringLine},         {"stack", stackLine},
};

bool applyWords(const Words& words) {
  if (words.empty()) return true;
  for (const auto& [verb, apply] : kVerbs) {
    if (words[0] == verb) return apply(words);
  }
  return false;
}

void complain(const std::string& line) {
  std::string text = "[winemelvix driver] cannot apply control line: " + line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

struct ControlReader {
  std::mutex mutex;  // guards everything below; taken before the devices' mutex
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string partial;  // the start of a line whose end has not been written yet
  bool pollerStarted = false;
  std::vector<std::string> onOpen;  // "onopen LINE": the lines for the next open
};

ControlReader& reader() {
  static auto* r = new ControlReader();
  return *r;
}

// Runs on the driver's control poller thread.
void pollControl() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    syncControl();
  }
}

}  // namespace

void syncControl() {
  const std::wstring& dir = Devices::get().dir();
  if (dir.empty()) return;
  ControlReader& r = reader();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.pollerStarted) {
    r.pollerStarted = true;
    std::thread(pollControl).detach();
  }
  if (r.file == INVALID_HANDLE_VALUE) {
    r.file = CreateFileW((dir + L"\\control").c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (r.file == INVALID_HANDLE_VALUE) return;
  }
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(r.file, buffer, sizeof buffer, &n, nullptr) && n > 0) r.partial.append(buffer, n);
  std::size_t start = 0;
  for (std::size_t end; (end = r.partial.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = r.partial.substr(start, end - start);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line.compare(first, 7, "onopen ") == 0) {
      r.onOpen.push_back(line.substr(first + 7));
    } else if (!applyWords(sim::splitWords(line))) {
      complain(line);
    }
  }
  r.partial.erase(0, start);
}

void applyOnOpen() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(reader().mutex);
    lines.swap(reader().onOpen);
  }
  for (const auto& line : lines) {
    if (!applyWords(sim::splitWords(line))) complain(line);
  }
}

}  // namespace wdrv
