// WinMM's answers by name, for people: the diagnostic tool's report and the host's trace.
#pragma once

#include <string>

#include "platform/winapi.h"

namespace melvix {

// "MMSYSERR_ALLOCATED", "MIDIERR_STILLPLAYING", ...; an unknown value as "error 1234".
std::string winmmErrorName(MMRESULT result);

}  // namespace melvix
