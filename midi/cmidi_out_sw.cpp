#include "midi/cmidi_out_sw.h"

#include "midi/winmm_output.h"

CMidiOutSW::~CMidiOutSW() { midiOutClose(handle_); }

bool CMidiOutSW::Transmit(const ByteString& bytes) { return Accepted(transmitOn(handle_, bytes)); }

bool CMidiOutSW::Alive() {
  if (!Gone() && !outputAlive(handle_)) MarkGone();
  return !Gone();
}
