// A simulated device's capabilities as midiOutGetDevCapsW and midiInGetDevCapsW report them, the
// same in the simulation and in the test driver that serves the devices under Wine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/sim/sim_control.h"

namespace sim {

// Every output is a port to external gear, as a port driver reports it: all 16 channels, and no
// voices, notes or volume of its own (those stay zero). Inputs have no such fields.
template <typename Caps>
void fillTechnology(Caps& caps) {
  caps.wTechnology = MOD_MIDIPORT;
  caps.wChannelMask = 0xFFFF;
}
inline void fillTechnology(MIDIINCAPSW&) {}
inline void fillTechnology(MIDIINCAPS2W&) {}

template <typename Caps>
void fillCapsFields(const DeviceSpec& profile, Caps& caps) {
  caps.wMid = profile.mid;
  caps.wPid = 1;
  caps.vDriverVersion = profile.driverVersion;
  // The name is cut where szPname ends, as WinMM cuts a driver's longer name.
  std::size_t n = std::min<std::size_t>(profile.name.size(), MAXPNAMELEN - 1);
  for (std::size_t i = 0; i < n; ++i) caps.szPname[i] = static_cast<WCHAR>(profile.name[i]);
  caps.szPname[n] = 0;
  fillTechnology(caps);
}

// Fills a plain or an extended capability structure, as told by `size`, which the caller has
// checked holds at least the plain one; the rest of the structure is zero.
template <typename Plain, typename Extended>
void fillCaps(const DeviceSpec& profile, Plain* caps, std::size_t size) {
  if (size >= sizeof(Extended)) {
    auto* extended = reinterpret_cast<Extended*>(caps);
    std::memset(extended, 0, sizeof(Extended));
    fillCapsFields(profile, *extended);
    extended->ManufacturerGuid = profile.manufacturerGuid;
  } else {
    std::memset(caps, 0, sizeof(Plain));
    fillCapsFields(profile, *caps);
  }
}

}  // namespace sim
