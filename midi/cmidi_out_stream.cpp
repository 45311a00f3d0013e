#include "midi/cmidi_out.h"

bool CMidiOut::SendStream(const ByteString& bytes) {
  pending_ += bytes;
  return false;
}
