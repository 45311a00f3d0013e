// The simulated devices' control-file lines, any text: no line may crash the simulation or take
// it unbounded time or memory, and a device name written the way the "calls" and "received" files
// write it reads back as the same name.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_world.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No control directory: nothing is written to files and no reader thread runs.
  unsetenv("MELVIX_SIM_DIR");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sim::reset();
  const std::string text(reinterpret_cast<const char*>(data), size);
  // A line may add thousands of devices; a simulation that large says nothing more about the
  // parser, so the lines after it are left out.
  auto deviceCount = [] {
    return sim::deviceNames(sim::Direction::kOut).size() +
           sim::deviceNames(sim::Direction::kIn).size();
  };
  std::size_t start = 0;
  while (start <= text.size() && deviceCount() <= 1000) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    sim::applyControlLine(text.substr(start, end - start));
    start = end + 1;
  }

  sim::reset();
  std::u16string name;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    name.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  require(sim::applyControlLine("out " + sim::quoted(name)), "a quoted name is a valid line");
  const auto names = sim::deviceNames(sim::Direction::kOut);
  require(names.size() == 1 && names[0] == name, "a quoted name reads back as the same name");
  return 0;
}
