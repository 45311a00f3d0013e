#include "midi/cmidi_out.h"

#include "midi/device_gone.h"

namespace melvix {

CMidiOut::CMidiOut(const WCHAR* name) : name_(wideFromZ(name)) {}

void CMidiOut::SendShort(unsigned char status, unsigned char data1, unsigned char data2) {
  pending_.clear();
  const char bytes[3] = {static_cast<char>(status), static_cast<char>(data1),
                         static_cast<char>(data2)};
  Transmit(ByteString(bytes, 3));
}

bool CMidiOut::SendRaw(const ByteString& bytes) {
  pending_.clear();
  return Transmit(bytes);
}

void CMidiOut::AllNotesOff() {
  // A device that answered that it has gone is not asked again.
  for (int status = 0xB0; status <= 0xBF && !gone_; ++status) {
    SendShort(static_cast<unsigned char>(status), 123, 0);
  }
}

bool CMidiOut::Accepted(MMRESULT result) {
  if (deviceGone(result)) gone_ = true;
  return result == MMSYSERR_NOERROR;
}

}  // namespace melvix
