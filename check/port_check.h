// Every MIDI port WinMM lists, and whether it can be opened now.
#pragma once

#include <vector>

#include "check/findings.h"

namespace melvix {

struct PortScan {
  std::vector<PortCheck> outs;
  std::vector<PortCheck> ins;
  // A problem for each port that cannot be opened.
  std::vector<Check> findings;
};

// Lists the ports from WinMM directly, so that they are there even when no browser can start the
// host, and opens each one to see whether it can be (then closes it: nothing is sent to it).
PortScan checkPorts();

// Whether the host's ["refresh"] lists the same names as WinMM: a warning when it does not.
// `hostBits`: the host's bitness when known (32 or 64), as one of another bitness than melvixcheck
// sees the drivers of its own.
std::vector<Check> comparePorts(const PortScan& ports, const std::vector<std::string>& hostOuts,
                                const std::vector<std::string>& hostIns, unsigned hostBits = 0);

}  // namespace melvix
