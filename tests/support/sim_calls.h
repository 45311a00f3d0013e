// Reading back what the simulated devices saw, for tests that run the MIDI layer in-process.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/sim_control.h"

// The recorded WinMM calls that touch a device, without the queries (device counts, capability
// queries, midiInGetID) and the timer period, in order.
std::vector<std::string> deviceCalls();
// The recorded calls whose line starts with `prefix`, in order.
std::vector<std::string> callsStartingWith(const std::string& prefix);
// Forgets the recorded calls and what the outputs received.
void forgetCalls();

// A device with that (UTF-8) name and otherwise default capabilities.
sim::DeviceSpec namedDevice(const std::string& utf8Name);

// `count` bytes of a system-exclusive message: F0, data bytes counting up from `seed`, F7.
std::vector<unsigned char> sysexOf(std::size_t count, unsigned seed = 0);
