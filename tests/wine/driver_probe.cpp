// winemelvix_probe.exe: asks Wine's WinMM what our programs never ask, yet any program may, and
// Windows' own drivers answer: queries by device id with no open handle, a volume, headers of the
// size they had before dwOffset, an unprepare of a header still queued, an output's technology.
// Device 0 of each direction must be plugged in and output 1 empty (MELVIX_SIM_DIR). Prints one
// "what: answer" line per question, the number that came back; a crash in the driver cuts the
// list short.
#include <windows.h>
// mmsystem.h needs the types of windows.h first,
#include <mmsystem.h>
// and mmddk.h (DRV_QUERYDEVICEINTERFACESIZE) those of mmsystem.h.
#include <mmddk.h>

#include <cstddef>
#include <cstdio>

namespace {

constexpr UINT kOldHeaderSize = offsetof(MIDIHDR, dwOffset);

// WinMM takes a device id where a handle goes.
HMIDIOUT deviceId(UINT id) { return reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(id)); }

void print(const char* what, unsigned long answer) {
  std::printf("%s: %lu\n", what, answer);
  std::fflush(stdout);
}

void probeOutput() {
  MIDIOUTCAPSW caps{};
  if (midiOutGetDevCapsW(0, &caps, sizeof caps) == MMSYSERR_NOERROR) {
    print("output technology", caps.wTechnology);
    print("output channel mask", caps.wChannelMask);
  }
  DWORD volume = 0;
  print("volume by id", midiOutGetVolume(deviceId(0), &volume));
  print("volume by an empty id", midiOutGetVolume(deviceId(1), &volume));
  DWORD size = 0;
  print("output interface size by id", midiOutMessage(deviceId(0), DRV_QUERYDEVICEINTERFACESIZE,
                                                      reinterpret_cast<DWORD_PTR>(&size), 0));

  HMIDIOUT out = nullptr;
  if (midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return;
  print("volume", midiOutGetVolume(out, &volume));
  print("volume into null", midiOutGetVolume(out, nullptr));
  char data[4] = {'\xF0', '\x7E', '\x7F', '\xF7'};
  MIDIHDR header{};
  header.lpData = data;
  header.dwBufferLength = sizeof data;
  print("output prepare one byte short", midiOutPrepareHeader(out, &header, kOldHeaderSize - 1));
  print("output prepare old size", midiOutPrepareHeader(out, &header, kOldHeaderSize));
  // As WinMM's stream player leaves a header it has queued.
  header.dwFlags |= MHDR_INQUEUE;
  print("output unprepare queued", midiOutUnprepareHeader(out, &header, sizeof header));
  print("queued header still prepared", (header.dwFlags & MHDR_PREPARED) != 0);
  header.dwFlags &= ~MHDR_INQUEUE;
  midiOutUnprepareHeader(out, &header, sizeof header);
  midiOutClose(out);
}

// How many inputs this program's bitness sees (some are served to the other one only); then, as
// midiInMessage takes no device id (Wine's answers MMSYSERR_INVALHANDLE itself), an input is asked
// only about its headers.
void probeInput() {
  unsigned long described = 0;
  for (UINT id = 0; id < midiInGetNumDevs(); ++id) {
    MIDIINCAPSW caps{};
    if (midiInGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR) ++described;
  }
  print("inputs described", described);
  HMIDIIN in = nullptr;
  if (midiInOpen(&in, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return;
  char data[64];
  MIDIHDR header{};
  header.lpData = data;
  header.dwBufferLength = sizeof data;
  print("input prepare old size", midiInPrepareHeader(in, &header, kOldHeaderSize));
  print("input add buffer old size", midiInAddBuffer(in, &header, kOldHeaderSize));
  midiInReset(in);
  midiInUnprepareHeader(in, &header, kOldHeaderSize);
  midiInClose(in);
}

}  // namespace

int main() {
  probeOutput();
  probeInput();
  return 0;
}
