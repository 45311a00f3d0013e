// The simulated devices driven from outside the process: the file "control" in the directory
// named by MELVIX_SIM_DIR holds text lines, appended by a test or a person, each applied once in
// order. README.md describes the lines.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/sim/input_handle.h"
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

// One word of a control line: a quoted part is decoded (JSON escapes), so names may hold blanks,
// quotation marks and any character.
std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size() || line[i] == '#') break;
    std::string word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] != '"') {
        word += line[i++];
        continue;
      }
      ++i;
      std::u16string units;
      std::string bytes;
      auto flush = [&] {
        word += utf8(units) + bytes;
        units.clear();
        bytes.clear();
      };
      while (i < line.size() && line[i] != '"') {
        if (line[i] == '\\' && i + 1 < line.size()) {
          char e = line[i + 1];
          i += 2;
          if (e == 'u' && i + 4 <= line.size()) {
            if (!bytes.empty()) flush();
            units.push_back(
                static_cast<char16_t>(std::strtoul(line.substr(i, 4).c_str(), nullptr, 16)));
            i += 4;
            continue;
          }
          if (!units.empty()) flush();
          bytes += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
          continue;
        }
        if (!units.empty()) flush();
        bytes += line[i++];
      }
      flush();
      if (i < line.size()) ++i;  // the closing quotation mark
    }
    words.push_back(word);
  }
  return words;
}

bool parseNumber(const std::string& text, unsigned long& value, int base = 0) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, base);
  return end != nullptr && *end == 0;
}

bool parseHexBytes(const std::vector<std::string>& words, std::size_t from,
                   std::vector<BYTE>& out) {
  for (std::size_t i = from; i < words.size(); ++i) {
    unsigned long b = 0;
    if (!parseNumber(words[i], b, 16) || b > 0xFF) return false;
    out.push_back(static_cast<BYTE>(b));
  }
  return true;
}

bool parseGuid(const std::string& text, GUID& guid) {
  unsigned a = 0, b = 0, c = 0, d[8] = {};
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0], &d[1],
                  &d[2], &d[3], &d[4], &d[5], &d[6], &d[7]) != 11) {
    return false;
  }
  guid.Data1 = a;
  guid.Data2 = static_cast<WORD>(b);
  guid.Data3 = static_cast<WORD>(c);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(d[i]);
  return true;
}

bool parseDirection(const std::string& word, Direction& d) {
  if (word == "out") {
    d = Direction::kOut;
  } else if (word == "in") {
    d = Direction::kIn;
  } else {
    return false;
  }
  return true;
}

bool parseFault(const std::string& word, Fault& fault) {
  static const std::pair<const char*, Fault> kFaults[] = {
      {"getdevcaps", Fault::kGetDevCaps}, {"open", Fault::kOpen},
      {"prepare", Fault::kPrepareHeader}, {"longmsg", Fault::kLongMsg},
      {"shortmsg", Fault::kShortMsg},     {"stillplaying", Fault::kStillPlaying},
      {"start", Fault::kStart},           {"addbuffer", Fault::kAddBuffer},
  };
  for (const auto& [name, value] : kFaults) {
    if (word == name) {
      fault = value;
      return true;
    }
  }
  return false;
}

bool addFromWords(Direction d, const std::vector<std::string>& words) {
  if (words.size() < 2) return false;
  DeviceSpec profile;
  profile.name = u16(words[1]);
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    auto eq = w.find('=');
    std::string key = w.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : w.substr(eq + 1);
    unsigned long n = 0;
    if (key == "mid" && parseNumber(value, n) && n <= 0xFFFF) {
      profile.mid = static_cast<WORD>(n);
    } else if (key == "version" && parseNumber(value, n)) {
      profile.driverVersion = static_cast<DWORD>(n);
    } else if (key == "guid" && parseGuid(value, profile.manufacturerGuid)) {
    } else if (key == "regname") {
      profile.registryName = u16(value);
    } else if (key == "loopback" && d == Direction::kOut) {
      profile.loopback = true;
    } else {
      return false;
    }
  }
  addDevice(d, profile);
  return true;
}

// `flood "In" mode [count] [timed]`: a count ends the flood by itself after that many messages;
// "timed" writes their delivery times to the file "delivered" once the last one is delivered.
bool setFlood(const std::vector<std::string>& words) {
  const std::string& mode = words[2];
  unsigned long long count = 0;
  bool timed = false;
  for (std::size_t i = 3; i < words.size(); ++i) {
    if (words[i] == "timed" && !timed) {
      timed = true;
    } else if (i == 3 && !words[i].empty() && words[i].find_first_not_of("0123456789") ==
                                                 std::string::npos) {
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
  device->flood = m;
  if (device->input != nullptr) device->input->wake();
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
  if (verb == "flood" && words.size() >= 3 && words.size() <= 5) return setFlood(words);
  if (verb == "clock" && words.size() == 2 && parseNumber(words[1], n, 10)) {
    setClock(static_cast<DWORD>(n));
    return true;
  }
  if (verb == "repeat" && words.size() >= 3 && parseNumber(words[1], n, 10)) {
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

bool applyControlLine(const std::string& line) { return applyWords(splitWords(line)); }

void syncControl() {
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
