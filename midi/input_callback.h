#pragma once

#include "midi/input_event.h"
#include "platform/winapi.h"

// The WinMM input callback of every input port. Runs on the thread on which WinMM calls it.
void CALLBACK InputCallback(HMIDIIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                            DWORD_PTR param2);

// Sends the bytes of one event to the browser as ["midi",t,b1,...]; takes ownership of the event.
// Runs on the input callback's thread.
void ForwardInput(InputEvent* event);
