#include "midi/cmidi_out_sw.h"

#include "midi/winmm_output.h"

CMidiOutSW::~CMidiOutSW() { midiOutClose(handle_); }

bool CMidiOutSW::Transmit(const ByteString& bytes) { return transmitOn(handle_, bytes); }
