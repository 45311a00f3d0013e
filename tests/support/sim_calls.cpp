#include "tests/support/sim_calls.h"

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::vector<std::string> deviceCalls() {
  std::vector<std::string> out;
  for (const auto& line : sim::calls()) {
    if (startsWith(line, "midiOutGetNumDevs") || startsWith(line, "midiInGetNumDevs") ||
        startsWith(line, "midiOutGetDevCaps") || startsWith(line, "midiInGetDevCaps") ||
        startsWith(line, "midiInGetID") || startsWith(line, "timeBeginPeriod") ||
        startsWith(line, "timeEndPeriod")) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> callsStartingWith(const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : sim::calls()) {
    if (startsWith(line, prefix)) out.push_back(line);
  }
  return out;
}

void forgetCalls() {
  sim::clearCalls();
  sim::clearReceived();
}

sim::DeviceSpec namedDevice(const std::string& utf8Name) {
  sim::DeviceSpec profile;
  profile.name = sim::u16(utf8Name);
  return profile;
}

std::vector<unsigned char> sysexOf(std::size_t count, unsigned seed) {
  std::vector<unsigned char> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>((seed + i) & 0x7F);
  if (count > 0) bytes.front() = 0xF0;
  if (count > 1) bytes.back() = 0xF7;
  return bytes;
}
