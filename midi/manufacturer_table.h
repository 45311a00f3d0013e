#pragma once

#include <cstdint>

#include "midi/wide_string.h"

namespace melvix {

constexpr std::uint32_t kManufacturerCount = 266;

// The name of a WinMM manufacturer id; "unknown" for 0, unassigned ids and ids above the table.
WideString manufacturerName(std::uint32_t id);

}  // namespace melvix
