#include "midi/cmidi_win32.h"

#include "midi/cmidi_in_hw.h"
#include "midi/cmidi_lock_win.h"
#include "midi/cmidi_out_hw.h"
#include "midi/cmidi_out_sw.h"
#include "midi/input_callback.h"
#include "midi/port_description.h"

namespace melvix {

namespace {

template <typename Caps>
bool outCaps(UINT id, Caps& caps) {
  return midiOutGetDevCapsW(id, reinterpret_cast<LPMIDIOUTCAPSW>(&caps), sizeof caps) ==
         MMSYSERR_NOERROR;
}

template <typename Caps>
bool inCaps(UINT id, Caps& caps) {
  return midiInGetDevCapsW(id, reinterpret_cast<LPMIDIINCAPSW>(&caps), sizeof caps) ==
         MMSYSERR_NOERROR;
}

// Names of the devices whose capabilities can be read, in device order.
template <typename Caps, typename Query>
std::vector<WideString> listNames(UINT count, Query query) {
  std::vector<WideString> names;
  for (UINT id = 0; id < count; ++id) {
    Caps caps{};
    if (query(id, caps)) names.push_back(wideFromField(caps.szPname));
  }
  return names;
}

// The lowest device id whose product name is `name`, or false.
template <typename Caps, typename Query>
bool findByName(UINT count, const WideString& name, Query query, UINT& found) {
  for (UINT id = 0; id < count; ++id) {
    Caps caps{};
    if (query(id, caps) && wideFromField(caps.szPname) == name) {
      found = id;
      return true;
    }
  }
  return false;
}

// Whether the device behind an open handle has the product name `name`. WinMM takes the handle
// in place of a device id. A query that fails cannot tell, and counts as a match.
template <typename Caps, typename Query>
bool openedAs(UINT_PTR handle, const WideString& name, Query query) {
  Caps caps{};
  if (query(handle, &caps, sizeof caps) != MMSYSERR_NOERROR) return true;
  return wideFromField(caps.szPname) == name;
}

struct ThreadStart {
  void (*routine)(CMidi&);
  CMidi* midi;
};

// Runs on the new thread.
DWORD WINAPI runThread(LPVOID parameter) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  start->routine(*start->midi);
  return 0;
}

}  // namespace

CMidiWin32::CMidiWin32() : clockBase_(timeGetTime()) {}

CMidiWin32::~CMidiWin32() { Shutdown(); }

std::vector<WideString> CMidiWin32::ListOuts() {
  return listNames<MIDIOUTCAPSW>(midiOutGetNumDevs(), outCaps<MIDIOUTCAPSW>);
}

std::vector<WideString> CMidiWin32::ListIns() {
  return listNames<MIDIINCAPSW>(midiInGetNumDevs(), inCaps<MIDIINCAPSW>);
}

PortLookup CMidiWin32::OutInfo(const WideString& name) {
  UINT id = 0;
  if (!findByName<MIDIOUTCAPS2W>(midiOutGetNumDevs(), name, outCaps<MIDIOUTCAPS2W>, id)) {
    return std::nullopt;
  }
  return OutInfo(static_cast<std::uint32_t>(id));
}

PortLookup CMidiWin32::OutInfo(std::uint32_t index) {
  MIDIOUTCAPS2W caps{};
  if (!outCaps(index, caps)) return std::nullopt;
  return describeCaps(caps);
}

PortLookup CMidiWin32::InInfo(const WideString& name) {
  UINT id = 0;
  if (!findByName<MIDIINCAPS2W>(midiInGetNumDevs(), name, inCaps<MIDIINCAPS2W>, id)) {
    return std::nullopt;
  }
  return InInfo(static_cast<std::uint32_t>(id));
}

PortLookup CMidiWin32::InInfo(std::uint32_t index) {
  MIDIINCAPS2W caps{};
  if (!inCaps(index, caps)) return std::nullopt;
  return describeCaps(caps);
}

// A port that is open under the name asked for stays as it is, untouched, unless its device has
// gone (pulled out, and perhaps plugged in again): then the name is opened afresh. An output is
// known gone once a send was answered "no such device"; an input is asked, with a call that
// changes nothing on a live one.
bool CMidiWin32::OutIsCurrent(const WideString& name) {
  return name == OutNameLocked() && (OutLocked() == nullptr || !OutLocked()->Gone());
}

bool CMidiWin32::InIsCurrent(const WideString& name) {
  if (InLocked() != nullptr && Gate().ClosedByDriver()) InLocked()->MarkGone();
  return name == InNameLocked() && (InLocked() == nullptr || InLocked()->Alive());
}

WideString CMidiWin32::OpenOut(const WideString& name) {
  MutexLock ports(PortsGuard());
  return OpenOutLocked(name);
}

WideString CMidiWin32::OpenOutLocked(const WideString& name) {
  if (OutIsCurrent(name)) return OutNameLocked();
  UINT id = 0;
  if (!findByName<MIDIOUTCAPSW>(midiOutGetNumDevs(), name, outCaps<MIDIOUTCAPSW>, id)) {
    return OutNameLocked();
  }
  return OpenOutDevice(id, name);
}

WideString CMidiWin32::OpenOut(std::uint32_t index) {
  MutexLock ports(PortsGuard());
  MIDIOUTCAPSW caps{};
  if (!outCaps(index, caps)) return OutNameLocked();
  WideString name = wideFromField(caps.szPname);
  if (OutIsCurrent(name)) return OutNameLocked();
  return OpenOutDevice(index, name);
}

// A device plugged in or out between the search and the open shifts the ids: another device may
// open under the name asked for, or none at all (the id now past the end of the list, or on a port
// already open). The name is checked through the handle, and after a mismatch or a failed open it
// is looked for once more and opened where it is now.
WideString CMidiWin32::OpenOutDevice(UINT id, const WideString& name) {
  for (int attempt = 0;; ++attempt) {
    HMIDIOUT handle = nullptr;
    // The new device opens before the old port is touched, so a failure leaves that one playing.
    const MMRESULT opened = midiOutOpen(&handle, id, 0, 0, CALLBACK_NULL);
    traceFailure(Trace(), "midiOutOpen", name, opened);
    if (opened == MMSYSERR_NOERROR) {
      if (openedAs<MIDIOUTCAPSW>(reinterpret_cast<UINT_PTR>(handle), name, midiOutGetDevCapsW)) {
        std::unique_ptr<CMidiOut> port;
        if (id == 0) {
          port = std::make_unique<CMidiOutSW>(handle, winStr(name), Trace());
        } else {
          port = std::make_unique<CMidiOutHW>(handle, winStr(name), Trace());
        }
        ReplaceOut(std::move(port));
        return OutNameLocked();
      }
      traceFailure(Trace(), "midiOutClose", name, midiOutClose(handle));
    }
    UINT now = id;
    if (attempt > 0 ||
        !findByName<MIDIOUTCAPSW>(midiOutGetNumDevs(), name, outCaps<MIDIOUTCAPSW>, now) ||
        (opened != MMSYSERR_NOERROR && now == id)) {
      return OutNameLocked();
    }
    id = now;
  }
}

WideString CMidiWin32::OpenIn(const WideString& name, DWORD_PTR instance) {
  MutexLock ports(PortsGuard());
  return OpenInLocked(name, instance);
}

WideString CMidiWin32::OpenInLocked(const WideString& name, DWORD_PTR instance) {
  if (InIsCurrent(name)) return InNameLocked();
  UINT id = 0;
  if (!findByName<MIDIINCAPSW>(midiInGetNumDevs(), name, inCaps<MIDIINCAPSW>, id)) {
    return InNameLocked();
  }
  return OpenInDevice(id, name, instance);
}

WideString CMidiWin32::OpenIn(std::uint32_t index, DWORD_PTR instance) {
  MutexLock ports(PortsGuard());
  MIDIINCAPSW caps{};
  if (!inCaps(index, caps)) return InNameLocked();
  WideString name = wideFromField(caps.szPname);
  if (InIsCurrent(name)) return InNameLocked();
  return OpenInDevice(index, name, instance);
}

// `instance` is not what the callback is given: each opening gets a value of its own, so that the
// callback can tell the current opening's events from late ones of a closed device.
WideString CMidiWin32::OpenInDevice(UINT id, const WideString& name, DWORD_PTR /*instance*/) {
  // A device that would not close before may let go now; it may be the one asked for.
  RetryClosingInputs();
  // The current port's handle is of no use once its device has gone, and a driver may count the
  // device open until it is closed: it is closed first, and stays current, by name, until the
  // device opens again.
  if (InLocked() != nullptr && InLocked()->Gone()) CloseGoneIn();
  for (int attempt = 0;; ++attempt) {
    HMIDIIN handle = nullptr;
    const DWORD_PTR opening = NewInputInstance();
    const MMRESULT opened = midiInOpen(&handle, id, reinterpret_cast<DWORD_PTR>(&InputCallback),
                                       opening, CALLBACK_FUNCTION);
    traceFailure(Trace(), "midiInOpen", name, opened);
    if (opened == MMSYSERR_NOERROR) {
      // WinMM gave this handle's value to the new opening, so a port kept with the same value
      // was freed meanwhile, whatever WinMM answered about it before: it is never touched again.
      ForgetInputsHandled(handle);
      checkInputIds(handle);
      if (openedAs<MIDIINCAPSW>(reinterpret_cast<UINT_PTR>(handle), name, midiInGetDevCapsW)) {
        // A device pulled out hands its buffers back and then refuses them: the watcher looks for
        // its return from then on.
        // One that does not start is closed again, and the reply says that no input is current.
        ReplaceIn(std::make_unique<CMidiInHW>(
                      handle, winStr(name), [this] { NotePortGone(); }, Trace()),
                  opening);
        return InNameLocked();
      }
      // Not started and given no buffer, it closes at once, and nothing of it is ever current;
      // one that refuses is kept and closed again later, or it would stay open for good.
      const MMRESULT closed = midiInClose(handle);
      traceFailure(Trace(), "midiInClose", name, closed);
      if (closed != MMSYSERR_NOERROR) {
        KeepUnclosed(std::make_unique<CMidiInHW>(handle, winStr(name), nullptr, Trace()));
      }
    }
    UINT now = id;
    if (attempt > 0 ||
        !findByName<MIDIINCAPSW>(midiInGetNumDevs(), name, inCaps<MIDIINCAPSW>, now) ||
        (opened != MMSYSERR_NOERROR && now == id)) {
      return InNameLocked();
    }
    id = now;
  }
}

std::uint32_t CMidiWin32::Time() { return static_cast<std::uint32_t>(timeGetTime() - clockBase_); }

HANDLE CMidiWin32::StartThread(void (*routine)(CMidi&)) {
  auto* start = new ThreadStart{routine, this};
  HANDLE thread = CreateThread(nullptr, 0, runThread, start, 0, nullptr);
  if (thread == nullptr) delete start;
  return thread;
}

void CMidiWin32::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::unique_ptr<CMidiLock> CMidiWin32::NewLock() { return std::make_unique<CMidiLockWin>(); }

}  // namespace melvix
