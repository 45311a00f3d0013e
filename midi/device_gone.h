// How WinMM says that the device behind a handle has gone: a USB device pulled out while open
// leaves a handle on which every call answers MMSYSERR_NODRIVER, and a handle that WinMM has
// already freed answers MMSYSERR_INVALHANDLE.
#pragma once

#include "platform/winapi.h"

namespace melvix {

inline bool deviceGone(MMRESULT result) {
  return result == MMSYSERR_NODRIVER || result == MMSYSERR_INVALHANDLE;
}

}  // namespace melvix
