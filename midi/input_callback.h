#pragma once

#include "midi/cmidi.h"
#include "midi/input_event.h"
#include "platform/winapi.h"

namespace melvix {

// The input callback's way in, the one piece of process-wide state: WinMM calls the callback with
// nothing but a handle, a message and our instance value, so the callback finds the MIDI system
// object here. Set by whoever makes that object (the host's main, a test) before any input is
// opened; null: events are dropped. Returns once no callback uses the previous target any more,
// so that it may then be destroyed.
void setInputCallbackTarget(CMidi* midi);

// The WinMM input callback of every input port. Runs on the thread on which WinMM calls it.
void CALLBACK InputCallback(HMIDIIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                            DWORD_PTR param2);

// Sends the bytes of one event to the browser as ["midi",t,b1,...]; takes ownership of the event.
// Runs on the input callback's thread.
void ForwardInput(const InputEvent& event);

}  // namespace melvix
