#pragma once

#include "platform/winapi.h"

// One event as the driver delivered it to the input callback.
struct InputEvent {
  DWORD_PTR instance = 0;
  HMIDIIN device = nullptr;
  UINT message = 0;
  DWORD_PTR param1 = 0;
  DWORD_PTR param2 = 0;
};
