// winemelvix_probe.exe: asks Wine's WinMM what our programs never ask, yet any program may, and
// Windows' own drivers answer: queries by device id with no open handle, a volume, headers of the
// size they had before dwOffset, an unprepare of a header still queued, an output's technology;
// then, with lines it appends to the control file, what the driver does behind Windows MIDI
// Services' WinMM layer. Device 0 of each direction must be plugged in and output 1 empty
// (MELVIX_SIM_DIR). Prints one "what: answer" line per question, the number that came back; a
// crash in the driver cuts the list short.
#include <windows.h>
// mmsystem.h needs the types of windows.h first,
#include <mmsystem.h>
// and mmddk.h (DRV_QUERYDEVICEINTERFACESIZE) those of mmsystem.h.
#include <mmddk.h>

#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <string>

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

// Appends lines to the control file, which the driver applies at its next message.
void control(const char* lines) {
  char dir[4096];
  const DWORD n = GetEnvironmentVariableA("MELVIX_SIM_DIR", dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return;
  std::string path = dir[0] == '/' ? std::string("Z:") + dir : std::string(dir);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (FILE* file = std::fopen((path + "\\control").c_str(), "ab")) {
    std::fputs(lines, file);
    std::fclose(file);
  }
}

// Behind Windows MIDI Services' WinMM layer ("stack new"): an empty id is "(unavailable)", a second
// unit is "2- Name", an open output opens again, a long message the device never takes fails after
// a second and stays prepared, and an input pulled out keeps its buffer and never closes.
void probeNewStack() {
  control("stack new\nhold \"Probe Out\" forever\nout \"Probe Out\"\n");
  MIDIOUTCAPSW caps{};
  print("new stack, an empty id", midiOutGetDevCapsW(2, &caps, sizeof caps));
  print("new stack, its name is (unavailable)", std::wcscmp(caps.szPname, L"(unavailable)") == 0);
  midiOutGetDevCapsW(1, &caps, sizeof caps);
  print("new stack, a second unit's name", std::wcscmp(caps.szPname, L"2- Probe Out") == 0);
  HMIDIOUT out = nullptr;
  HMIDIOUT again = nullptr;
  midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL);
  print("new stack, an open output opened again", midiOutOpen(&again, 0, 0, 0, CALLBACK_NULL));
  char data[4] = {'\xF0', '\x7E', '\x7F', '\xF7'};
  MIDIHDR header{};
  header.lpData = data;
  header.dwBufferLength = sizeof data;
  midiOutPrepareHeader(out, &header, sizeof header);
  print("new stack, a long message that stalls", midiOutLongMsg(out, &header, sizeof header));
  print("new stack, its header still prepared", (header.dwFlags & MHDR_PREPARED) != 0);
  midiOutUnprepareHeader(out, &header, sizeof header);
  midiOutClose(again);
  midiOutClose(out);

  HMIDIIN in = nullptr;
  if (midiInOpen(&in, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return;
  char buffer[64];
  MIDIHDR inHeader{};
  inHeader.lpData = buffer;
  inHeader.dwBufferLength = sizeof buffer;
  midiInPrepareHeader(in, &inHeader, sizeof inHeader);
  midiInAddBuffer(in, &inHeader, sizeof inHeader);
  control("remove in \"Probe In\"\n");
  print("new stack, an unplugged input started", midiInStart(in));
  // Time enough for a classic driver to hand the buffer back, after which it would close. Wine's
  // midiInClose frees the handle whatever the driver answers: nothing more is asked of it.
  Sleep(100);
  print("new stack, an unplugged input closed", midiInClose(in));
}

}  // namespace

int main() {
  probeOutput();
  probeInput();
  probeNewStack();
  return 0;
}
