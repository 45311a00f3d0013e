// The simulated devices driven from outside the process: the file "control" in the directory
// named by MELVIX_SIM_DIR holds text lines, appended by a test or a person, each applied once in
// order. docs/simulated-devices.md describes the lines.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/sim/control_lines.h"
#include "platform/sim/input_handle.h"
#include "platform/sim/notifier.h"
#include "platform/sim/sim_world.h"

namespace sim {

namespace {

struct ControlReader {
  std::mutex mutex;  // guards everything below; taken before the world's mutex
  int fd = -1;
  bool stopped = false;
  bool pollerStarted = false;
  std::string partial;  // the start of a line whose end has not been written yet
};

ControlReader& reader() {
  static auto* r = new ControlReader();
  return *r;
}

// The most times one line may be repeated.
constexpr unsigned long kMaxRepeat = 10000;

bool isDigits(const std::string& text) {
  return text.find_first_not_of("0123456789") == std::string::npos;
}

bool addFromWords(Direction d, const std::vector<std::string>& words) {
  DeviceSpec profile;
  if (!parseDevice(d, words, profile)) return false;
  // A device for programs of the other bitness is not this program's to see.
  if (servedToThisProgram(profile)) addDevice(d, profile);
  return true;
}

// `flood "In" mode [count] [timed] [pace N]`: a count ends the flood by itself after that many
// messages; "timed" writes their delivery times to the file "delivered" once the last one is
// delivered, and how long each buffer they filled took to be queued again, with every wait for a
// buffer, to "requeued" and "waits" once all of those are queued again; "pace" makes N messages a
// second at most instead of as many as are taken.
bool setFlood(const std::vector<std::string>& words) {
  const std::string& mode = words[2];
  unsigned long long count = 0;
  unsigned long long pace = 0;
  bool timed = false;
  const auto digits = [](const std::string& word) {
    return !word.empty() && word.size() <= 9 &&
           word.find_first_not_of("0123456789") == std::string::npos;
  };
  for (std::size_t i = 3; i < words.size(); ++i) {
    if (words[i] == "timed" && !timed) {
      timed = true;
    } else if (words[i] == "pace" && pace == 0 && i + 1 < words.size() && digits(words[i + 1])) {
      pace = std::strtoull(words[++i].c_str(), nullptr, 10);
      if (pace == 0) return false;
    } else if (i == 3 && !words[i].empty() &&
               words[i].find_first_not_of("0123456789") == std::string::npos) {
      count = std::strtoull(words[i].c_str(), nullptr, 10);
      if (count == 0) return false;
    } else {
      return false;
    }
  }
  FloodMode m;
  if (mode == "off") {
    m = FloodMode::kOff;
  } else if (mode == "short") {
    m = FloodMode::kShort;
  } else if (mode == "sysex") {
    m = FloodMode::kSysex;
  } else if (mode == "mixed") {
    m = FloodMode::kMixed;
  } else {
    return false;
  }
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto device = world.find(Direction::kIn, u16(words[1]));
  if (!device) return false;
  device->floodLeft = m == FloodMode::kOff ? 0 : count;
  device->floodTimed = m != FloodMode::kOff && timed;
  device->floodPace = m == FloodMode::kOff ? 0 : pace;
  device->flood = m;
  if (device->input != nullptr) device->input->wake();
  return true;
}

// "late" and "ring": the input's notifier, made on first use; inputs opened afterwards use it.
template <typename Change>
bool changeNotifier(const std::u16string& name, Change change) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto device = world.find(Direction::kIn, name);
  if (!device) return false;
  if (!device->notifier) device->notifier = std::make_shared<Notifier>();
  change(*device->notifier);
  return true;
}

bool setHold(const std::u16string& name, const std::string& how) {
  unsigned long n = 0;
  long ms = -1;
  if (how != "forever") {
    if (!parseNumber(how, n, 10)) return false;
    ms = static_cast<long>(n);
  }
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto device = world.find(Direction::kOut, name);
  if (!device) return false;
  device->holdMs = ms;
  return true;
}

bool applyWords(const std::vector<std::string>& words) {
  if (words.empty()) return true;
  const std::string& verb = words[0];
  Direction d = Direction::kOut;
  if (verb == "out" || verb == "in") {
    parseDirection(verb, d);
    return addFromWords(d, words);
  }
  if (verb == "remove" && words.size() == 3 && parseDirection(words[1], d)) {
    return removeDevice(d, u16(words[2]));
  }
  if (verb == "clear" && words.size() == 1) {
    for (Direction dir : {Direction::kOut, Direction::kIn}) {
      while (removeDeviceAt(dir, 0)) {
      }
    }
    return true;
  }
  if (verb == "defaults" && words.size() == 1) {
    addDefaultDevices();
    return true;
  }
  std::vector<BYTE> bytes;
  if (verb == "short" && words.size() >= 3 && words.size() <= 5 && parseHexBytes(words, 2, bytes)) {
    DWORD message = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
      message |= static_cast<DWORD>(bytes[i]) << (8 * i);
    return deliverShort(u16(words[1]), message);
  }
  if (verb == "sysex" && words.size() >= 3 && parseHexBytes(words, 2, bytes)) {
    return deliverSysex(u16(words[1]), bytes);
  }
  if (verb == "longerror" && words.size() >= 3 && parseHexBytes(words, 2, bytes)) {
    return deliverLongError(u16(words[1]), bytes);
  }
  unsigned long n = 0;
  if (verb == "error" &&
      (words.size() == 2 || (words.size() == 3 && parseNumber(words[2], n, 16)))) {
    return deliverError(u16(words[1]), static_cast<DWORD>(n));
  }
  Fault fault;
  if (verb == "fault" && (words.size() == 4 || words.size() == 5) && parseDirection(words[1], d) &&
      parseFault(words[3], fault)) {
    long times = -1;
    if (words.size() == 5) times = std::strtol(words[4].c_str(), nullptr, 10);
    return setFault(d, u16(words[2]), fault, static_cast<int>(times));
  }
  if (verb == "flood" && words.size() >= 3 && words.size() <= 7) return setFlood(words);
  if (verb == "late" && words.size() == 3 && parseNumber(words[2], n, 10)) {
    return changeNotifier(u16(words[1]), [&](Notifier& x) { x.setLate(static_cast<long>(n)); });
  }
  if (verb == "ring" && words.size() == 3 && parseNumber(words[2], n, 10)) {
    return changeNotifier(u16(words[1]), [&](Notifier& x) { x.setCapacity(n); });
  }
  if (verb == "hold" && words.size() == 3) return setHold(u16(words[1]), words[2]);
  if (verb == "stack" && words.size() == 2 && words[1] == "classic") {
    setNewStack(false);
    return true;
  }
  if (verb == "stack" && words.size() >= 2 && words[1] == "new") {
    NewStackOptions options;
    for (std::size_t i = 2; i < words.size(); ++i) {
      if (words[i] == "prefixgrows") {
        options.prefixGrows = true;
      } else if (words[i] == "lag" && i + 1 < words.size() && parseNumber(words[i + 1], n, 10)) {
        options.countLagMs = static_cast<long>(n);
        ++i;
      } else {
        return false;
      }
    }
    setNewStack(true, options);
    return true;
  }
  if (verb == "box" && words.size() == 2 && (words[1] == "never" || parseNumber(words[1], n, 10))) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex);
    world.boxWaitMs = words[1] == "never" ? -1 : static_cast<long>(n);
    return true;
  }
  if (verb == "tick" && words.size() == 2 && parseNumber(words[1], n, 10)) {
    setClockTick(static_cast<DWORD>(n));
    return true;
  }
  if (verb == "clock" && words.size() == 2 && parseNumber(words[1], n, 10)) {
    setClock(static_cast<DWORD>(n));
    return true;
  }
  // A count with a sign, above kMaxRepeat or a repeat of a repeat would let one line run for hours.
  if (verb == "repeat" && words.size() >= 3 && isDigits(words[1]) && parseNumber(words[1], n, 10) &&
      n <= kMaxRepeat && words[2] != "repeat") {
    std::vector<std::string> rest(words.begin() + 2, words.end());
    for (unsigned long i = 0; i < n; ++i) {
      if (!applyWords(rest)) return false;
    }
    return true;
  }
  return false;
}

// Runs on the control poller thread.
void pollControl() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
      std::lock_guard<std::mutex> lock(reader().mutex);
      if (reader().stopped) return;
    }
    syncControl();
  }
}

}  // namespace

bool applyControlLine(const std::string& line) {
  // "onopen LINE" keeps LINE as written, for the next open.
  const std::size_t start = line.find_first_not_of(" \t");
  if (start != std::string::npos && line.compare(start, 7, "onopen ") == 0) {
    const std::string rest = line.substr(start + 7);
    if (splitWords(rest).empty()) return false;
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex);
    world.onOpen.push_back(rest);
    return true;
  }
  return applyWords(splitWords(line));
}

namespace {

thread_local bool skipControl = false;

}  // namespace

void skipControlOnThisThread() { skipControl = true; }

void syncControl() {
  if (skipControl) return;
  const std::string& dir = World::get().controlDir();
  if (dir.empty()) return;
  ControlReader& r = reader();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.stopped) return;
  if (!r.pollerStarted) {
    r.pollerStarted = true;
    std::thread(pollControl).detach();
  }
  if (r.fd < 0) {
    r.fd = ::open((dir + "/control").c_str(), O_RDONLY);
    if (r.fd < 0) return;
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(r.fd, buffer, sizeof buffer);
    if (n <= 0) break;
    r.partial.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t start = 0;
  for (std::size_t end; (end = r.partial.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = r.partial.substr(start, end - start);
    if (!applyControlLine(line)) {
      std::fprintf(stderr, "[simulated devices] cannot apply control line: %s\n", line.c_str());
    }
  }
  r.partial.erase(0, start);
}

void stopControl() {
  ControlReader& r = reader();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.stopped = true;
}

}  // namespace sim
