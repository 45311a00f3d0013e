// Which MIDI stack WinMM reaches the devices through: classic drivers (wdmaud.drv and others), or
// Windows MIDI Services (wdmaud2.drv, talking to the midisrv service), whose WinMM layer names
// ports its own way and must be registered for 32-bit programs apart.
#pragma once

#include <optional>
#include <vector>

#include "check/findings.h"
#include "check/registry.h"

namespace melvix {

// What the registry (both views of HKLM's Drivers32 key, the port-naming value) and the state of
// the midisrv service (none: unknown) say: a finding on the stack in use and its port names, and a
// problem when 32-bit programs cannot reach the new stack that 64-bit ones use.
std::vector<Check> checkMidiStack(Registry& registry, std::optional<bool> serviceRunning);

// Whether the midisrv service runs; none where that cannot be asked.
std::optional<bool> midiServiceRunning();

}  // namespace melvix
