#pragma once

#include "midi/cmidi.h"

// The process-wide MIDI system object, which the input callback reaches it through. Set once at
// start-up, before any port is opened.
CMidi* midiSystem();
void setMidiSystem(CMidi* midi);
