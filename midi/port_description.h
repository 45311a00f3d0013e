#pragma once

#include <cstdint>
#include <functional>

#include "midi/port_info.h"
#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

// Finds the registry's friendly name for a manufacturer GUID; empty when it has none.
using ManufacturerLookup = std::function<WideString(const GUID&)>;

// The "Name" value under MediaCategories\{guid} in HKEY_LOCAL_MACHINE, or empty.
WideString registryManufacturer(const GUID& guid);

// "major.minor" of a driver version: the value shifted right by 8, a dot, the low byte.
WideString versionText(std::uint32_t driverVersion);

// Name, manufacturer (the registry's name first, else the manufacturer table) and version.
PortInfo describePort(const WideString& name, std::uint32_t mid, std::uint32_t driverVersion,
                      const GUID& manufacturerGuid,
                      const ManufacturerLookup& lookup = registryManufacturer);

// The description from an extended capability structure (MIDIOUTCAPS2W or MIDIINCAPS2W).
template <typename Caps2>
PortInfo describeCaps(const Caps2& caps) {
  return describePort(wideFromField(caps.szPname), caps.wMid, caps.vDriverVersion,
                      caps.ManufacturerGuid);
}

}  // namespace melvix
