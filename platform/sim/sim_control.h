// The test's handle on the simulated MIDI devices behind our Windows API realization. The
// programs never include this; tests and the control-file reader do.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace sim {

enum class Direction { kOut, kIn };

struct DeviceSpec {
  std::u16string name;  // at most 31 units reach szPname; longer names are cut there
  WORD mid = 0;
  DWORD driverVersion = 0x0100;
  GUID manufacturerGuid{};
  // When set, the registry holds this as "Name" under MediaCategories\{manufacturerGuid}.
  std::optional<std::u16string> registryName;
  // An output whose messages come back on the first input with the same name.
  bool loopback = false;
  // 32 or 64: only programs of that bitness see the device, as on 64-bit Windows a driver
  // registered in one of the two Drivers32 views serves only the programs that read that view. 0:
  // every program.
  unsigned bits = 0;
};

// A WinMM call that can be made to fail. Device-bound calls fail for one device, found when the
// call is made; the device keeps its faults when its id shifts.
enum class Fault {
  kGetDevCaps,     // the capability query answers MMSYSERR_BADDEVICEID
  kOpen,           // midiOutOpen / midiInOpen answer MMSYSERR_ALLOCATED
  kPrepareHeader,  // midiOutPrepareHeader / midiInPrepareHeader answer MMSYSERR_NOMEM
  kLongMsg,        // midiOutLongMsg answers MIDIERR_NOTREADY
  kShortMsg,       // midiOutShortMsg answers MIDIERR_NOTREADY
  kStillPlaying,   // midiOutUnprepareHeader answers MIDIERR_STILLPLAYING
  kStart,          // midiInStart answers MMSYSERR_ERROR
  kAddBuffer,      // midiInAddBuffer answers MMSYSERR_ERROR
  kReset,          // midiInReset keeps the queued buffers instead of handing them back
  kClose,          // midiInClose answers MIDIERR_STILLPLAYING and leaves the device open
  // midiInClose answers MIDIERR_STILLPLAYING and the device stays open, but the handle is freed all
  // the same, as Wine's winmm frees it whatever the driver answers; a later opening may get its
  // value
  kCloseFrees,
  // midiInGetID answers MMSYSERR_INVALHANDLE for a handle that is open, as wdmaud2.drv made it in
  // 32-bit programs before the November 2026 update, by corrupting WinMM's own handle
  kGetId,
};

// How Windows MIDI Services' WinMM layer differs from a classic driver, as the simulation plays it.
struct NewStackOptions {
  // midiXGetNumDevs answers a cached count, this long behind a change of the device list; ids
  // between the list's end and that count answer MMSYSERR_NODRIVER with the name "(unavailable)".
  long countLagMs = 0;
  // A unit plugged in again gets the next number ("3- Name"), as before the November 2026 update,
  // rather than the lowest free one.
  bool prefixGrows = false;
};

// ---- The device set ----
// Forgets every device, fault, recorded call, received message, registry value and message box,
// and stops reading the control file. The set is then empty.
void reset();
// Adds the embedded default devices: "Melvix Synth" at output 0 and the loopback pair
// "Melvix Loopback" (output and input).
void addDefaultDevices();
// Appends a device; returns its id (its position in its direction's list).
UINT addDevice(Direction d, const DeviceSpec& profile);
// Removes the first device of that name (true) or the device at that id. An open device is pulled
// out as a USB cable is: an input hands its queued buffers back, empty, and from then on every call
// on the handle answers MMSYSERR_NODRIVER until it is closed; only a new opening of a device
// plugged in again works.
bool removeDevice(Direction d, const std::u16string& name);
bool removeDeviceAt(Direction d, UINT id);
std::vector<std::u16string> deviceNames(Direction d);

// Makes the next `times` matching calls for the first device named `name` fail (-1: every call
// from now on). Returns false when there is no such device.
bool setFault(Direction d, const std::u16string& name, Fault fault, int times = -1);

// Makes the devices behave as behind Windows MIDI Services' WinMM layer from now on (see
// docs/simulated-devices.md, "stack new"), or as a classic driver again.
void setNewStack(bool on, const NewStackOptions& options = {});

// ---- Input ----
// Events for the first input device of that name. They reach the program's callback on the
// device's own thread once the program has opened and started the device; events for an input
// that is not open are lost, as with a real device. Returns false when there is no such device.
bool deliverShort(const std::u16string& input, DWORD message);
// System-exclusive bytes, cut into the buffers that the program queued, in their order; the
// device waits for a buffer while none is queued (until it is stopped, reset or closed).
bool deliverSysex(const std::u16string& input, const std::vector<BYTE>& bytes);
// MIM_ERROR with that message, or MIM_LONGERROR on the next queued buffer holding `bytes`.
bool deliverError(const std::u16string& input, DWORD message);
bool deliverLongError(const std::u16string& input, const std::vector<BYTE>& bytes);
// Waits until every event given so far has been handed to the program (or dropped).
void drainInput();
// WinMM may make the callbacks of midiInStop, midiInReset and midiInClose on the thread that calls
// them or on a thread of its own while the caller waits; this chooses the first (off by default
// and after reset).
void setCallbacksOnCallingThread(bool onCallingThread);

// ---- What the outputs received ----
struct Received {
  std::u16string device;
  bool isLong = false;
  std::vector<BYTE> bytes;       // a short message: its three packed bytes, lowest first
  std::string toString() const;  // "\"Name\" short 90 3c 7f" or "\"Name\" long f0 .. f7"
};
// The latest 100,000 to 200,000 are kept in memory (the control directory's "received" file
// keeps all).
std::vector<Received> received();
void clearReceived();

// ---- Every call, in order ----
// Lines such as `midiOutOpen 1 "Synth" -> 0` or `midiOutShortMsg "Synth" 007b00b0 -> 0`; the
// latest 100,000 to 200,000 are kept in memory (the control directory's "calls" file keeps all).
std::vector<std::string> calls();
void clearCalls();
// The texts of the message boxes shown, "caption: text".
std::vector<std::string> messageBoxes();

// ---- Between two calls ----
// Runs `action` once, on the calling thread, just after the next device count of direction `d`:
// the device set changes while a program walks the list.
void afterNextCount(Direction d, std::function<void()> action);
// The threads made with CreateThread: how many were started, how many run now, and the most that
// ran at once since resetThreadPeak (which sets it to those running now).
struct ThreadCounts {
  int started = 0;
  int live = 0;
  int peak = 0;
};
ThreadCounts threadCounts();
void resetThreadPeak();

// ---- Clock and registry ----
// timeGetTime returns `now` at this moment and counts on from there (wrapping at 2^32).
void setClock(DWORD now);
// timeGetTime moves in steps of `milliseconds` (0: every millisecond) unless a program has asked
// for a period of 1 ms with timeBeginPeriod, as Windows' default timer resolution does.
void setClockTick(DWORD milliseconds);
// Counts timeBeginPeriod (+1) and timeEndPeriod (-1) requests for `period` milliseconds.
void changePeriodRequests(UINT period, int change);
void setRegistryValue(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::vector<BYTE>& data);
// The registry key under HKEY_LOCAL_MACHINE that holds a manufacturer's "Name".
std::u16string manufacturerKeyPath(const GUID& guid);
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, as StringFromCLSID gives it.
std::u16string guidText(const GUID& guid);

// ---- Text helpers for tests ----
std::u16string u16(const std::string& utf8);
std::string utf8(const std::u16string& units);

}  // namespace sim
