#pragma once

#include <optional>

#include "midi/wide_string.h"

namespace melvix {

// A port as the browser's list shows it: its name, its manufacturer and its driver's version.
struct PortInfo {
  WideString name;
  WideString manufacturer;
  WideString version;
};

// A port's description, or nothing when there is no such port.
using PortLookup = std::optional<PortInfo>;

}  // namespace melvix
