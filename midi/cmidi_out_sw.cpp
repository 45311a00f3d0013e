#include "midi/cmidi_out_sw.h"

#include "midi/winmm_output.h"

namespace melvix {

CMidiOutSW::~CMidiOutSW() { traceFailure(trace_, "midiOutClose", Name(), midiOutClose(handle_)); }

bool CMidiOutSW::Transmit(const ByteString& bytes) {
  return Accepted(transmitOn(handle_, bytes, trace_, Name()));
}

bool CMidiOutSW::Alive() {
  if (!Gone() && !outputAlive(handle_)) MarkGone();
  return !Gone();
}

}  // namespace melvix
