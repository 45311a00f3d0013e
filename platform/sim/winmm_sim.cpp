// The WinMM MIDI functions over the simulated device set.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/sim/device_caps.h"
#include "platform/sim/input_handle.h"
#include "platform/sim/sim_world.h"
#include "platform/winapi.h"

using sim::Device;
using sim::Direction;
using sim::Fault;
using sim::InputHandle;
using sim::OutputHandle;
using sim::World;

namespace {

std::string hex8(DWORD value) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kHex[value & 15];
  return text;
}

MMRESULT logged(World& world, std::string call, MMRESULT result) {
  call += " -> ";
  call += std::to_string(result);
  world.record(std::move(call));
  return result;
}

Device& deviceOf(OutputHandle& out) { return *out.device; }
Device& deviceOf(InputHandle& in) { return *in.device(); }

// The open handle behind a handle value, or null; needs the world's mutex.
OutputHandle* resolve(World& world, HMIDIOUT h) {
  return h != nullptr && world.liveHandles.count(h) != 0 ? reinterpret_cast<OutputHandle*>(h)
                                                         : nullptr;
}
InputHandle* resolve(World& world, HMIDIIN h) { return world.input(h); }

// The common start of every call on an open handle: the control file is read, the world locked,
// an unknown handle refused and logged. `body` gets the world, the handle and the start of the
// call's log line (the call's name and the device's name).
template <typename Raw, typename Body>
MMRESULT onHandle(Raw raw, const char* name, Body body) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  auto* handle = resolve(world, raw);
  if (handle == nullptr) {
    return logged(world, std::string(name) + " ?", MMSYSERR_INVALHANDLE);
  }
  // Made in one piece: a program that plays makes many of these calls a millisecond.
  std::string call;
  call.reserve(64);
  call.append(name).append(" ").append(deviceOf(*handle).quotedName);
  return body(world, *handle, std::move(call));
}

// Applies the control lines that wait for the next open, outside the world's mutex.
void applyOnOpen() {
  World& world = World::get();
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    lines.swap(world.onOpen);
  }
  for (const auto& line : lines) sim::applyControlLine(line);
}

// Preparing a header is the same for both directions: the driver only marks it.
MMRESULT prepareHeader(World& world, Device& device, std::string call, LPMIDIHDR pmh, UINT cbmh) {
  if (pmh == nullptr || cbmh < sizeof(MIDIHDR)) return logged(world, call, MMSYSERR_INVALPARAM);
  call += " " + std::to_string(pmh->dwBufferLength);
  if (!device.present) return logged(world, call, MMSYSERR_NODRIVER);
  if (world.takeFault(device, Fault::kPrepareHeader)) return logged(world, call, MMSYSERR_NOMEM);
  pmh->dwFlags |= MHDR_PREPARED;
  return logged(world, call, MMSYSERR_NOERROR);
}

UINT deviceCount(Direction d, const char* name) {
  sim::syncControl();
  World& world = World::get();
  std::function<void()> after;
  UINT n = 0;
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    n = world.shownCount(d);
    world.record(std::string(name) + " -> " + std::to_string(n));
    after.swap(world.afterCount[World::side(d)]);
  }
  if (after) after();
  return n;
}

// Fills a plain or an extended capability structure, as told by its size.
template <typename Plain, typename Extended>
MMRESULT getCaps(Direction d, UINT_PTR id, Plain* caps, UINT size, const char* name) {
  sim::syncControl();
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  std::string call = std::string(name) + " " + std::to_string(id);
  auto& list = world.list(d);
  // WinMM takes an open handle in place of a device id.
  Device* byHandle = nullptr;
  if (d == Direction::kOut) {
    if (OutputHandle* out = resolve(world, reinterpret_cast<HMIDIOUT>(id)))
      byHandle = &deviceOf(*out);
  } else if (InputHandle* in = resolve(world, reinterpret_cast<HMIDIIN>(id))) {
    byHandle = &deviceOf(*in);
  }
  if (byHandle != nullptr) call = std::string(name) + " " + sim::quoted(byHandle->profile.name);
  // The new stack's slots: an id its cached count still has, or a device it cannot describe.
  const auto unavailable = [&] {
    if (caps != nullptr && size >= sizeof(Plain)) {
      const std::u16string text = u"(unavailable)";
      std::fill(std::begin(caps->szPname), std::end(caps->szPname), 0);
      std::copy(text.begin(), text.end(), caps->szPname);
    }
    return logged(world, call, MMSYSERR_NODRIVER);
  };
  if (byHandle == nullptr && id >= list.size()) {
    if (world.newStack.load() && id < world.shownCount(d)) return unavailable();
    return logged(world, call, MMSYSERR_BADDEVICEID);
  }
  // The handle of a device that has been pulled out answers nothing but its close.
  if (byHandle != nullptr && !byHandle->present) return logged(world, call, MMSYSERR_NODRIVER);
  Device& device = byHandle != nullptr ? *byHandle : *list[id];
  if (caps == nullptr || size < sizeof(Plain)) return logged(world, call, MMSYSERR_INVALPARAM);
  if (world.takeFault(device, Fault::kGetDevCaps)) {
    if (world.newStack.load()) return unavailable();
    return logged(world, call, MMSYSERR_BADDEVICEID);
  }
  sim::fillCaps<Plain, Extended>(device.profile, caps, size);
  return logged(world, call, MMSYSERR_NOERROR);
}

}  // namespace

UINT midiOutGetNumDevs() { return deviceCount(Direction::kOut, "midiOutGetNumDevs"); }

UINT midiInGetNumDevs() { return deviceCount(Direction::kIn, "midiInGetNumDevs"); }

MMRESULT midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc) {
  return getCaps<MIDIOUTCAPSW, MIDIOUTCAPS2W>(Direction::kOut, uDeviceID, pmoc, cbmoc,
                                              "midiOutGetDevCapsW");
}

MMRESULT midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic) {
  return getCaps<MIDIINCAPSW, MIDIINCAPS2W>(Direction::kIn, uDeviceID, pmic, cbmic,
                                            "midiInGetDevCapsW");
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR, DWORD_PTR, DWORD) {
  sim::syncControl();
  applyOnOpen();
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  std::string call = "midiOutOpen " + std::to_string(uDeviceID);
  if (phmo == nullptr) return logged(world, call, MMSYSERR_INVALPARAM);
  if (uDeviceID >= world.outs.size()) return logged(world, call, MMSYSERR_BADDEVICEID);
  auto device = world.outs[uDeviceID];
  call += " " + sim::quoted(device->profile.name);
  // The new stack lets several clients open one port.
  if ((device->open && !world.newStack.load()) || world.takeFault(*device, Fault::kOpen)) {
    return logged(world, call, MMSYSERR_ALLOCATED);
  }
  auto* handle = new OutputHandle{device, {}};
  device->open = true;
  *phmo = reinterpret_cast<HMIDIOUT>(handle);
  world.liveHandles.insert(handle);
  return logged(world, call, MMSYSERR_NOERROR);
}

MMRESULT midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  sim::syncControl();
  return onHandle(hmo, "midiOutShortMsg", [&](World& world, OutputHandle& out, std::string call) {
    Device& device = *out.device;
    call += ' ';
    call += hex8(dwMsg);
    if (!device.present) return logged(world, call, MMSYSERR_NODRIVER);
    if (world.takeFault(device, Fault::kShortMsg)) return logged(world, call, MIDIERR_NOTREADY);
    sim::Received r;
    r.device = device.profile.name;
    r.bytes = {static_cast<BYTE>(dwMsg & 0xFF), static_cast<BYTE>((dwMsg >> 8) & 0xFF),
               static_cast<BYTE>((dwMsg >> 16) & 0xFF)};
    world.recordReceived(std::move(r));
    if (device.profile.loopback) {
      if (auto in = world.find(Direction::kIn, device.profile.name)) sim::queueShort(*in, dwMsg);
    }
    return logged(world, std::move(call), MMSYSERR_NOERROR);
  });
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  sim::syncControl();
  return onHandle(hmo, "midiOutPrepareHeader",
                  [&](World& world, OutputHandle& out, std::string call) {
                    return prepareHeader(world, *out.device, std::move(call), pmh, cbmh);
                  });
}

namespace {

// The new stack sends a long message before midiOutLongMsg returns, and gives up on a device that
// has not taken it within a second: MMSYSERR_ERROR, no MOM_DONE, the header left prepared.
constexpr long kNewStackLongMsgLimitMs = 1000;

}  // namespace

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  sim::syncControl();
  // How long the new stack's call takes, waited for without the world's mutex.
  long stallMs = 0;
  MMRESULT result =
      onHandle(hmo, "midiOutLongMsg", [&](World& world, OutputHandle& out, std::string call) {
        Device& device = *out.device;
        if (pmh == nullptr || cbmh < sizeof(MIDIHDR))
          return logged(world, call, MMSYSERR_INVALPARAM);
        call += " " + std::to_string(pmh->dwBufferLength);
        if ((pmh->dwFlags & MHDR_PREPARED) == 0) return logged(world, call, MIDIERR_UNPREPARED);
        if (!device.present) return logged(world, call, MMSYSERR_NODRIVER);
        if (world.takeFault(device, Fault::kLongMsg)) return logged(world, call, MIDIERR_NOTREADY);
        sim::Received r;
        r.device = device.profile.name;
        r.isLong = true;
        r.bytes.assign(pmh->lpData, pmh->lpData + pmh->dwBufferLength);
        if (world.newStack.load() && device.holdMs != 0) {
          const bool stalls = device.holdMs < 0 || device.holdMs > kNewStackLongMsgLimitMs;
          stallMs = stalls ? kNewStackLongMsgLimitMs : device.holdMs;
          if (stalls) return logged(world, call, MMSYSERR_ERROR);
        }
        world.recordReceived(r);
        if (device.holdMs != 0 && !world.newStack.load()) {
          // An asynchronous driver: the buffer is the device's while it plays.
          out.held[pmh] = device.holdMs < 0 ? std::chrono::steady_clock::time_point::max()
                                            : std::chrono::steady_clock::now() +
                                                  std::chrono::milliseconds(device.holdMs);
        } else {
          pmh->dwFlags |= MHDR_DONE;
        }
        if (device.profile.loopback) {
          if (auto in = world.find(Direction::kIn, device.profile.name))
            sim::queueSysex(*in, r.bytes);
        }
        return logged(world, call, MMSYSERR_NOERROR);
      });
  if (stallMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
  return result;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  sim::syncControl();
  return onHandle(hmo, "midiOutUnprepareHeader",
                  [&](World& world, OutputHandle& out, std::string call) {
                    if (pmh == nullptr || cbmh < sizeof(MIDIHDR))
                      return logged(world, call, MMSYSERR_INVALPARAM);
                    if (!out.device->present) return logged(world, call, MMSYSERR_NODRIVER);
                    if (world.takeFault(*out.device, Fault::kStillPlaying)) {
                      return logged(world, call, MIDIERR_STILLPLAYING);
                    }
                    auto held = out.held.find(pmh);
                    if (held != out.held.end()) {
                      if (std::chrono::steady_clock::now() < held->second) {
                        return logged(world, call, MIDIERR_STILLPLAYING);
                      }
                      out.held.erase(held);
                      pmh->dwFlags |= MHDR_DONE;
                    }
                    pmh->dwFlags &= ~MHDR_PREPARED;
                    return logged(world, call, MMSYSERR_NOERROR);
                  });
}

MMRESULT midiOutReset(HMIDIOUT hmo) {
  sim::syncControl();
  return onHandle(hmo, "midiOutReset",
                  [&](World& world, OutputHandle& out, const std::string& call) {
                    if (!out.device->present) return logged(world, call, MMSYSERR_NODRIVER);
                    // Every buffer the device holds comes back, marked done.
                    for (auto& held : out.held) held.second = std::chrono::steady_clock::now();
                    return logged(world, call, MMSYSERR_NOERROR);
                  });
}

MMRESULT midiOutClose(HMIDIOUT hmo) {
  sim::syncControl();
  return onHandle(hmo, "midiOutClose",
                  [&](World& world, OutputHandle& out, const std::string& call) {
                    out.device->open = false;
                    world.liveHandles.erase(&out);
                    delete &out;
                    return logged(world, call, MMSYSERR_NOERROR);
                  });
}

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen) {
  sim::syncControl();
  applyOnOpen();
  World& world = World::get();
  InputHandle* handle = nullptr;
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    std::string call = "midiInOpen " + std::to_string(uDeviceID);
    if (phmi == nullptr) return logged(world, call, MMSYSERR_INVALPARAM);
    if (uDeviceID >= world.ins.size()) return logged(world, call, MMSYSERR_BADDEVICEID);
    auto device = world.ins[uDeviceID];
    call += " " + sim::quoted(device->profile.name);
    if ((fdwOpen & 0x00070000) != CALLBACK_FUNCTION && (fdwOpen & 0x00070000) != CALLBACK_NULL) {
      return logged(world, call, MMSYSERR_INVALFLAG);
    }
    if (device->open || world.takeFault(*device, Fault::kOpen)) {
      return logged(world, call, MMSYSERR_ALLOCATED);
    }
    auto callback = (fdwOpen & 0x00070000) == CALLBACK_FUNCTION
                        ? reinterpret_cast<InputHandle::Callback>(dwCallback)
                        : nullptr;
    handle = new InputHandle(device, callback, dwInstance, device->notifier);
    handle->setHandle(world.addInput(handle));
    device->open = true;
    device->input = handle;
    *phmi = handle->handle();
    logged(world, call, MMSYSERR_NOERROR);
  }
  handle->open();
  return MMSYSERR_NOERROR;
}

namespace {

// Looks the handle up and logs the call; the caller then works without the world's mutex, since
// the program's callback may call back into WinMM.
InputHandle* lookUpInput(HMIDIIN hmi, const char* name, MMRESULT* failure) {
  InputHandle* found = nullptr;
  *failure = onHandle(hmi, name, [&](World&, InputHandle& in, const std::string&) {
    found = &in;
    return MMSYSERR_NOERROR;
  });
  return found;
}

}  // namespace

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
  sim::syncControl();
  return onHandle(hmi, "midiInPrepareHeader", [&](World& world, InputHandle& in, std::string call) {
    return prepareHeader(world, *in.device(), std::move(call), pmh, cbmh);
  });
}

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
  sim::syncControl();
  return onHandle(hmi, "midiInUnprepareHeader",
                  [&](World& world, InputHandle& in, const std::string& call) {
                    if (pmh == nullptr || cbmh < sizeof(MIDIHDR)) {
                      return logged(world, call, MMSYSERR_INVALPARAM);
                    }
                    if (!in.device()->present) return logged(world, call, MMSYSERR_NODRIVER);
                    if ((pmh->dwFlags & MHDR_INQUEUE) != 0) {
                      return logged(world, call, MIDIERR_STILLPLAYING);
                    }
                    pmh->dwFlags &= ~MHDR_PREPARED;
                    return logged(world, call, MMSYSERR_NOERROR);
                  });
}

MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
  sim::syncControl();
  return onHandle(hmi, "midiInAddBuffer",
                  [&](World& world, InputHandle& in, const std::string& call) {
                    if (pmh == nullptr || cbmh < sizeof(MIDIHDR)) {
                      return logged(world, call, MMSYSERR_INVALPARAM);
                    }
                    if (!in.device()->present) return logged(world, call, MMSYSERR_NODRIVER);
                    if (world.takeFault(*in.device(), Fault::kAddBuffer)) {
                      return logged(world, call, MMSYSERR_ERROR);
                    }
                    return logged(world, call, in.addBuffer(pmh));
                  });
}

MMRESULT midiInStart(HMIDIIN hmi) {
  sim::syncControl();
  return onHandle(hmi, "midiInStart", [&](World& world, InputHandle& in, const std::string& call) {
    if (!in.device()->present) return logged(world, call, MMSYSERR_NODRIVER);
    if (world.takeFault(*in.device(), Fault::kStart)) {
      return logged(world, call, MMSYSERR_ERROR);
    }
    in.start();
    return logged(world, call, MMSYSERR_NOERROR);
  });
}

namespace {

// Whether the device behind an open input has been pulled out; logs the call if so.
bool pulledOut(InputHandle& in, const char* name) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  if (in.device()->present) return false;
  logged(world, std::string(name) + " " + sim::quoted(in.device()->profile.name),
         MMSYSERR_NODRIVER);
  return true;
}

}  // namespace

MMRESULT midiInStop(HMIDIIN hmi) {
  sim::syncControl();
  MMRESULT failure = MMSYSERR_NOERROR;
  InputHandle* in = lookUpInput(hmi, "midiInStop", &failure);
  if (in == nullptr) return failure;
  if (pulledOut(*in, "midiInStop")) return MMSYSERR_NODRIVER;
  in->stop();
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  return logged(world, "midiInStop " + sim::quoted(in->device()->profile.name), MMSYSERR_NOERROR);
}

MMRESULT midiInReset(HMIDIIN hmi) {
  sim::syncControl();
  MMRESULT failure = MMSYSERR_NOERROR;
  InputHandle* in = lookUpInput(hmi, "midiInReset", &failure);
  if (in == nullptr) return failure;
  if (pulledOut(*in, "midiInReset")) return MMSYSERR_NODRIVER;
  bool keepBuffers = false;
  {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex);
    keepBuffers = world.takeFault(*in->device(), Fault::kReset);
    logged(world, "midiInReset " + sim::quoted(in->device()->profile.name), MMSYSERR_NOERROR);
  }
  in->reset(keepBuffers);
  return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN hmi) {
  sim::syncControl();
  MMRESULT failure = MMSYSERR_NOERROR;
  InputHandle* in = lookUpInput(hmi, "midiInClose", &failure);
  if (in == nullptr) return failure;
  World& world = World::get();
  std::string call = "midiInClose " + sim::quoted(in->device()->profile.name);
  bool refused = false;
  bool freedAllTheSame = false;
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    freedAllTheSame = world.takeFault(*in->device(), Fault::kCloseFrees);
    refused = freedAllTheSame || world.takeFault(*in->device(), Fault::kClose);
  }
  // A device that has been pulled out still closes, once its buffers are back.
  MMRESULT result = refused ? MIDIERR_STILLPLAYING : in->close();
  {
    std::lock_guard<std::mutex> lock(world.mutex);
    if (result == MMSYSERR_NOERROR) {
      in->device()->open = false;
      in->device()->input = nullptr;
    }
    // The driver keeps a device it refused to close, and its handle object with it.
    if (result == MMSYSERR_NOERROR || freedAllTheSame) world.removeInput(in->handle());
    logged(world, call, result);
  }
  // Ends the device's delivery thread; it is idle now that MIM_CLOSE has been delivered.
  if (result == MMSYSERR_NOERROR) delete in;
  return result;
}

MMRESULT midiInGetID(HMIDIIN hmi, UINT* puDeviceID) {
  sim::syncControl();
  return onHandle(hmi, "midiInGetID", [&](World& world, InputHandle& in, const std::string& call) {
    if (puDeviceID == nullptr) return logged(world, call, MMSYSERR_INVALPARAM);
    if (world.takeFault(*in.device(), Fault::kGetId))
      return logged(world, call, MMSYSERR_INVALHANDLE);
    const auto& ins = world.ins;
    for (std::size_t id = 0; id < ins.size(); ++id) {
      if (ins[id] == in.device()) {
        *puDeviceID = static_cast<UINT>(id);
        return logged(world, call, MMSYSERR_NOERROR);
      }
    }
    return logged(world, call, MMSYSERR_NODRIVER);
  });
}

MMRESULT timeBeginPeriod(UINT uPeriod) {
  sim::syncControl();
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  if (uPeriod == 0) return logged(world, "timeBeginPeriod 0", 97);  // TIMERR_NOCANDO
  sim::changePeriodRequests(uPeriod, +1);
  return logged(world, "timeBeginPeriod " + std::to_string(uPeriod), MMSYSERR_NOERROR);
}

MMRESULT timeEndPeriod(UINT uPeriod) {
  sim::syncControl();
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  if (uPeriod == 0) return logged(world, "timeEndPeriod 0", 97);
  sim::changePeriodRequests(uPeriod, -1);
  return logged(world, "timeEndPeriod " + std::to_string(uPeriod), MMSYSERR_NOERROR);
}
