#include "midi/winmm_error.h"

namespace melvix {

namespace {

struct Named {
  MMRESULT value;
  const char* name;
};

// The values WinMM's MIDI functions answer with (mmsystem.h).
constexpr Named kNames[] = {
    {0, "MMSYSERR_NOERROR"},      {1, "MMSYSERR_ERROR"},       {2, "MMSYSERR_BADDEVICEID"},
    {3, "MMSYSERR_NOTENABLED"},   {4, "MMSYSERR_ALLOCATED"},   {5, "MMSYSERR_INVALHANDLE"},
    {6, "MMSYSERR_NODRIVER"},     {7, "MMSYSERR_NOMEM"},       {8, "MMSYSERR_NOTSUPPORTED"},
    {9, "MMSYSERR_BADERRNUM"},    {10, "MMSYSERR_INVALFLAG"},  {11, "MMSYSERR_INVALPARAM"},
    {12, "MMSYSERR_HANDLEBUSY"},  {64, "MIDIERR_UNPREPARED"},  {65, "MIDIERR_STILLPLAYING"},
    {66, "MIDIERR_NOMAP"},        {67, "MIDIERR_NOTREADY"},    {68, "MIDIERR_NODEVICE"},
    {69, "MIDIERR_INVALIDSETUP"}, {70, "MIDIERR_BADOPENMODE"}, {71, "MIDIERR_DONT_CONTINUE"},
};

}  // namespace

std::string winmmErrorName(MMRESULT result) {
  for (const Named& named : kNames) {
    if (named.value == result) return named.name;
  }
  return "error " + std::to_string(result);
}

}  // namespace melvix
