#include "midi/cmidi_out_hw.h"

#include "midi/winmm_output.h"

namespace melvix {

CMidiOutHW::~CMidiOutHW() { traceFailure(trace_, "midiOutClose", Name(), midiOutClose(handle_)); }

bool CMidiOutHW::Transmit(const ByteString& bytes) {
  return Accepted(transmitOn(handle_, bytes, trace_, Name()));
}

bool CMidiOutHW::Alive() {
  if (!Gone() && !outputAlive(handle_)) MarkGone();
  return !Gone();
}

}  // namespace melvix
