#pragma once

#include <vector>

#include "midi/wide_string.h"

// A port's name, manufacturer and driver version, in that order; empty when there is no such port.
using PortInfo = std::vector<WideString>;
