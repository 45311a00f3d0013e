#include "midi/midi_system.h"

#include <atomic>

namespace {

// Read by the input callback thread; atomic so that a test may swap it between runs.
std::atomic<CMidi*> theMidiSystem{nullptr};

}  // namespace

CMidi* midiSystem() { return theMidiSystem.load(); }

void setMidiSystem(CMidi* midi) { theMidiSystem.store(midi); }
