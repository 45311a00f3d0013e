// The entry points of winemelvix.drv, the MIDI driver through which Wine's own winmm.dll serves
// the test devices: DriverProc, modMessage and midMessage for WinMM, and the four functions that
// Wine's audio layer (mmdevapi) requires before it accepts a driver. The driver offers no audio
// endpoint. Every message starts by applying the control file's new lines, and the calls a
// program makes are recorded in the same words as the simulation's.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/device_caps.h"
#include "tests/wine/driver_devices.h"
#include "tests/wine/input_port.h"

namespace {

using wdrv::Device;
using wdrv::Devices;
using wdrv::Direction;
using wdrv::Fault;
using wdrv::InputPort;

using Clock = std::chrono::steady_clock;

// What a program's open output is to the driver; winmm hands it back as the instance.
struct OutputPort {
  std::shared_ptr<Device> device;
  MIDIOPENDESC desc;
  DWORD callbackFlags;
  // "hold": the long messages the device still plays, until when. Guarded by the devices' mutex.
  std::map<MIDIHDR*, Clock::time_point> held;
};

// The program's callbacks a message leads to, made once the devices' mutex is released.
using Notices = std::vector<std::pair<UINT, DWORD_PTR>>;

// A held buffer is done: the program gets it back.
void giveBack(MIDIHDR* header, Notices& notices) {
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  notices.emplace_back(MOM_DONE, reinterpret_cast<DWORD_PTR>(header));
}

std::string hex8(DWORD_PTR value) {
  char text[24];
  std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value & 0xFFFFFFFFu));
  return text;
}

DWORD logged(const std::string& call, DWORD result) {
  Devices::get().record(call + " -> " + std::to_string(result));
  return result;
}

// The calls' own names, so that "calls" reads as it does on Linux.
std::string callName(Direction d, const char* what) {
  return std::string(d == Direction::kOut ? "midiOut" : "midiIn") + what;
}

// Fills a plain or an extended capability structure, as told by its size. Asked through a handle,
// winmm passes the open instance's device, `opened`: one that has been pulled out answers that it
// has no driver.
template <typename Plain, typename Extended>
DWORD getCaps(Direction d, UINT id, DWORD_PTR param1, DWORD_PTR size, Device* opened) {
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  if (opened != nullptr && !opened->present) {
    return logged(callName(d, "GetDevCapsW ") + sim::quoted(opened->profile.name),
                  MMSYSERR_NODRIVER);
  }
  auto* caps = reinterpret_cast<Plain*>(param1);
  // The new stack's slots that have no device it can describe: "(unavailable)", and no driver.
  const auto unavailable = [&] {
    if (caps != nullptr && size >= sizeof(Plain)) {
      const std::u16string text = u"(unavailable)";
      std::fill(std::begin(caps->szPname), std::end(caps->szPname), 0);
      std::copy(text.begin(), text.end(), caps->szPname);
    }
    return static_cast<DWORD>(MMSYSERR_NODRIVER);
  };
  auto device = devices.at(d, id);
  if (!device) {
    // An empty slot: nothing recorded.
    return devices.newStack && id < wdrv::kSlots ? unavailable() : MMSYSERR_BADDEVICEID;
  }
  std::string call = callName(d, "GetDevCapsW ") + std::to_string(id);
  if (caps == nullptr || size < sizeof(Plain)) return logged(call, MMSYSERR_INVALPARAM);
  if (devices.takeFault(*device, Fault::kGetDevCaps)) {
    return logged(call, devices.newStack ? unavailable() : MMSYSERR_BADDEVICEID);
  }
  sim::fillCaps<Plain, Extended>(device->profile, caps, size);
  return logged(call, MMSYSERR_NOERROR);
}

// A header as long as it was before dwOffset was added is valid: Windows accepts it and WinMM
// passes that size down. Nothing here reads dwOffset or what follows it.
bool validHeader(const MIDIHDR* header, DWORD_PTR size) {
  return header != nullptr && size >= offsetof(MIDIHDR, dwOffset);
}

// A port has no volume of its own (its capabilities say so); a place to put one must still be
// given, as a driver checks that first.
DWORD getVolume(DWORD_PTR param1) {
  return param1 == 0 ? MMSYSERR_INVALPARAM : MMSYSERR_NOTSUPPORTED;
}

// Preparing only marks the header, in both directions.
DWORD prepare(Device& device, const std::string& name, DWORD_PTR param1, DWORD_PTR size) {
  auto* header = reinterpret_cast<MIDIHDR*>(param1);
  if (!validHeader(header, size)) return logged(name, MMSYSERR_INVALPARAM);
  std::string call = name + " " + std::to_string(header->dwBufferLength);
  if (!device.present) return logged(call, MMSYSERR_NODRIVER);
  if (Devices::get().takeFault(device, Fault::kPrepareHeader)) return logged(call, MMSYSERR_NOMEM);
  header->dwFlags |= MHDR_PREPARED;
  return logged(call, MMSYSERR_NOERROR);
}

DWORD openOutput(UINT id, DWORD_PTR* instance, DWORD_PTR param1, DWORD_PTR flags) {
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  std::string call = "midiOutOpen " + std::to_string(id);
  auto device = devices.at(Direction::kOut, id);
  if (!device) return logged(call, MMSYSERR_BADDEVICEID);
  call += " " + sim::quoted(device->profile.name);
  // The new stack lets several clients open one port.
  if ((device->open && !devices.newStack) || devices.takeFault(*device, Fault::kOpen)) {
    return logged(call, MMSYSERR_ALLOCATED);
  }
  device->open = true;
  auto* desc = reinterpret_cast<MIDIOPENDESC*>(param1);
  auto* port =
      new OutputPort{device, *desc, HIWORD(static_cast<DWORD>(flags) & CALLBACK_TYPEMASK), {}};
  *instance = reinterpret_cast<DWORD_PTR>(port);
  return logged(call, MMSYSERR_NOERROR);
}

// The new stack sends a long message before midiOutLongMsg returns, and gives up on a device that
// has not taken it within a second: MMSYSERR_ERROR, no MOM_DONE, the header left prepared.
constexpr long kNewStackLongMsgLimitMs = 1000;

// `waitMs`: how long the call takes before it returns (and its notices go out), waited for without
// the devices' mutex.
DWORD outputMessage(OutputPort* port, UINT message, DWORD_PTR param1, DWORD_PTR param2,
                    Notices& notices, long& waitMs) {
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  Device& device = *port->device;
  const std::string name = sim::quoted(device.profile.name);
  auto* header = reinterpret_cast<MIDIHDR*>(param1);
  switch (message) {
    case MODM_DATA: {
      std::string call = "midiOutShortMsg " + name + " " + hex8(param1);
      if (!device.present) return logged(call, MMSYSERR_NODRIVER);
      if (devices.takeFault(device, Fault::kShortMsg)) return logged(call, MIDIERR_NOTREADY);
      auto msg = static_cast<DWORD>(param1);
      devices.recordReceived(device.profile.name, false,
                             {static_cast<BYTE>(msg & 0xFF), static_cast<BYTE>((msg >> 8) & 0xFF),
                              static_cast<BYTE>((msg >> 16) & 0xFF)});
      if (device.profile.loopback) {
        auto in = devices.find(Direction::kIn, device.profile.name);
        if (in && in->input != nullptr) in->input->pushShort(msg);
      }
      return logged(call, MMSYSERR_NOERROR);
    }
    case MODM_PREPARE:
      return prepare(device, "midiOutPrepareHeader " + name, param1, param2);
    case MODM_UNPREPARE: {
      std::string call = "midiOutUnprepareHeader " + name;
      if (!validHeader(header, param2)) return logged(call, MMSYSERR_INVALPARAM);
      if (!device.present) return logged(call, MMSYSERR_NODRIVER);
      if (devices.takeFault(device, Fault::kStillPlaying)) {
        return logged(call, MIDIERR_STILLPLAYING);
      }
      auto held = port->held.find(header);
      if (held != port->held.end()) {
        if (Clock::now() < held->second) return logged(call, MIDIERR_STILLPLAYING);
        port->held.erase(held);
        giveBack(header, notices);
      }
      // Still queued, though not by this port (WinMM's stream player queues its own): a driver
      // leaves it prepared.
      if ((header->dwFlags & MHDR_INQUEUE) != 0) return logged(call, MIDIERR_STILLPLAYING);
      header->dwFlags &= ~MHDR_PREPARED;
      return logged(call, MMSYSERR_NOERROR);
    }
    case MODM_LONGDATA: {
      std::string call = "midiOutLongMsg " + name;
      if (!validHeader(header, param2)) return logged(call, MMSYSERR_INVALPARAM);
      call += " " + std::to_string(header->dwBufferLength);
      if ((header->dwFlags & MHDR_PREPARED) == 0) return logged(call, MIDIERR_UNPREPARED);
      if (!device.present) return logged(call, MMSYSERR_NODRIVER);
      if (devices.takeFault(device, Fault::kLongMsg)) return logged(call, MIDIERR_NOTREADY);
      const bool synchronous = devices.newStack && device.holdMs != 0;
      if (synchronous) {
        const bool stalls = device.holdMs < 0 || device.holdMs > kNewStackLongMsgLimitMs;
        waitMs = stalls ? kNewStackLongMsgLimitMs : device.holdMs;
        if (stalls) return logged(call, MMSYSERR_ERROR);
      }
      std::vector<BYTE> bytes(header->lpData, header->lpData + header->dwBufferLength);
      devices.recordReceived(device.profile.name, true, bytes);
      if (device.profile.loopback) {
        auto in = devices.find(Direction::kIn, device.profile.name);
        if (in && in->input != nullptr) in->input->pushSysex(bytes, false);
      }
      if (device.holdMs != 0 && !synchronous) {
        // The device plays it on its own time and keeps the buffer meanwhile.
        header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
        port->held[header] = device.holdMs < 0
                                 ? Clock::time_point::max()
                                 : Clock::now() + std::chrono::milliseconds(device.holdMs);
      } else {
        // Sent at once: the buffer is done before the call returns.
        giveBack(header, notices);
      }
      return logged(call, MMSYSERR_NOERROR);
    }
    case MODM_GETVOLUME:
      return device.present ? getVolume(param1) : MMSYSERR_NODRIVER;
    case MODM_RESET:
      if (!device.present) return logged("midiOutReset " + name, MMSYSERR_NODRIVER);
      for (const auto& held : port->held) giveBack(held.first, notices);
      port->held.clear();
      return logged("midiOutReset " + name, MMSYSERR_NOERROR);
    case MODM_CLOSE:
      if (!port->held.empty()) return logged("midiOutClose " + name, MIDIERR_STILLPLAYING);
      device.open = false;
      notices.emplace_back(MOM_CLOSE, 0);
      delete port;
      return logged("midiOutClose " + name, MMSYSERR_NOERROR);
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
}

DWORD openInput(UINT id, DWORD_PTR* instance, DWORD_PTR param1, DWORD_PTR flags) {
  std::shared_ptr<Device> device;
  std::shared_ptr<wdrv::LateQueue> late;
  bool newStack = false;
  std::string call = "midiInOpen " + std::to_string(id);
  {
    Devices& devices = Devices::get();
    std::lock_guard<std::mutex> lock(devices.mutex);
    device = devices.at(Direction::kIn, id);
    if (!device) return logged(call, MMSYSERR_BADDEVICEID);
    call += " " + sim::quoted(device->profile.name);
    if (device->open || devices.takeFault(*device, Fault::kOpen)) {
      return logged(call, MMSYSERR_ALLOCATED);
    }
    device->open = true;
    late = device->late;
    newStack = devices.newStack;
    logged(call, MMSYSERR_NOERROR);
  }
  // MIM_OPEN goes out from here: no lock of ours may be held while the program's callback runs.
  auto* port = new InputPort(device, *reinterpret_cast<MIDIOPENDESC*>(param1),
                             static_cast<DWORD>(flags), std::move(late), newStack);
  *instance = reinterpret_cast<DWORD_PTR>(port);
  Devices& devices = Devices::get();
  std::lock_guard<std::mutex> lock(devices.mutex);
  device->input = port;
  return MMSYSERR_NOERROR;
}

DWORD inputMessage(InputPort* port, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  Devices& devices = Devices::get();
  Device& device = port->device();
  std::unique_lock<std::mutex> lock(devices.mutex);
  const std::string name = sim::quoted(device.profile.name);
  auto* header = reinterpret_cast<MIDIHDR*>(param1);
  // A device pulled out answers nothing but its close.
  if (!device.present && message != MIDM_CLOSE) {
    static const std::pair<UINT, const char*> kNames[] = {{MIDM_PREPARE, "midiInPrepareHeader"},
                                                          {MIDM_UNPREPARE, "midiInUnprepareHeader"},
                                                          {MIDM_ADDBUFFER, "midiInAddBuffer"},
                                                          {MIDM_START, "midiInStart"},
                                                          {MIDM_STOP, "midiInStop"},
                                                          {MIDM_RESET, "midiInReset"}};
    for (const auto& [code, call] : kNames) {
      if (code == message) return logged(std::string(call) + " " + name, MMSYSERR_NODRIVER);
    }
    return MMSYSERR_NODRIVER;
  }
  switch (message) {
    case MIDM_PREPARE:
      return prepare(device, "midiInPrepareHeader " + name, param1, param2);
    case MIDM_UNPREPARE: {
      std::string call = "midiInUnprepareHeader " + name;
      if (!validHeader(header, param2)) return logged(call, MMSYSERR_INVALPARAM);
      if ((header->dwFlags & MHDR_INQUEUE) != 0) return logged(call, MIDIERR_STILLPLAYING);
      header->dwFlags &= ~MHDR_PREPARED;
      return logged(call, MMSYSERR_NOERROR);
    }
    case MIDM_ADDBUFFER: {
      std::string call = "midiInAddBuffer " + name;
      if (!validHeader(header, param2)) return logged(call, MMSYSERR_INVALPARAM);
      if (devices.takeFault(device, Fault::kAddBuffer)) return logged(call, MMSYSERR_ERROR);
      return logged(call, port->addBuffer(header));
    }
    case MIDM_START:
      if (devices.takeFault(device, Fault::kStart)) {
        return logged("midiInStart " + name, MMSYSERR_ERROR);
      }
      port->start();
      return logged("midiInStart " + name, MMSYSERR_NOERROR);
    // These three may call the program back: they run without the devices' mutex.
    case MIDM_STOP:
      logged("midiInStop " + name, MMSYSERR_NOERROR);
      lock.unlock();
      port->stop();
      return MMSYSERR_NOERROR;
    case MIDM_RESET: {
      const bool keepBuffers = devices.takeFault(device, Fault::kReset);
      logged("midiInReset " + name, MMSYSERR_NOERROR);
      lock.unlock();
      port->reset(keepBuffers);
      return MMSYSERR_NOERROR;
    }
    case MIDM_CLOSE: {
      // Wine's midiInClose frees the handle whatever the driver answers: both faults are one here.
      const bool refused =
          devices.takeFault(device, Fault::kCloseFrees) || devices.takeFault(device, Fault::kClose);
      lock.unlock();
      DWORD result = refused ? MIDIERR_STILLPLAYING : port->close();
      lock.lock();
      if (result == MMSYSERR_NOERROR) {
        device.open = false;
        device.input = nullptr;
      }
      logged("midiInClose " + name, result);
      lock.unlock();
      if (result == MMSYSERR_NOERROR) delete port;
      return result;
    }
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
}

// A message sent by device id rather than through an open handle (midiOutGetVolume(0, ...),
// midiOutMessage(0, DRV_QUERYDEVICEINTERFACESIZE, ...)): WinMM passes no instance with it.
DWORD deviceMessage(Direction d, UINT id, UINT message, DWORD_PTR param1) {
  {
    Devices& devices = Devices::get();
    std::lock_guard<std::mutex> lock(devices.mutex);
    if (!devices.at(d, id)) return MMSYSERR_BADDEVICEID;
  }
  if (d == Direction::kOut && message == MODM_GETVOLUME) return getVolume(param1);
  return MMSYSERR_NOTSUPPORTED;
}

DWORD driverMessage(Direction d, UINT id, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                    DWORD_PTR param2) {
  switch (message) {
    case DRVM_INIT:
    case DRVM_EXIT:
    case DRVM_ENABLE:
    case DRVM_DISABLE:
      return MMSYSERR_NOERROR;
    case MODM_GETNUMDEVS:
    case MIDM_GETNUMDEVS:
      return wdrv::kSlots;
    default:
      break;
  }
  wdrv::syncControl();
  if (message == (d == Direction::kOut ? MODM_OPEN : MIDM_OPEN)) wdrv::applyOnOpen();
  // No instance: a message about the device, not an open handle. The capability query serves
  // both; an open always comes with the place where its instance goes.
  if (instance == 0 && message != (d == Direction::kOut ? MODM_GETDEVCAPS : MIDM_GETDEVCAPS)) {
    return deviceMessage(d, id, message, param1);
  }
  if (d == Direction::kOut) {
    switch (message) {
      case MODM_GETDEVCAPS: {
        auto* port = reinterpret_cast<OutputPort*>(instance);
        return getCaps<MIDIOUTCAPSW, MIDIOUTCAPS2W>(d, id, param1, param2,
                                                    port != nullptr ? port->device.get() : nullptr);
      }
      case MODM_OPEN: {
        auto* slot = reinterpret_cast<DWORD_PTR*>(instance);
        DWORD result = openOutput(id, slot, param1, param2);
        if (result == MMSYSERR_NOERROR) {
          const auto* port = reinterpret_cast<const OutputPort*>(*slot);
          DriverCallback(port->desc.dwCallback, port->callbackFlags,
                         reinterpret_cast<HDRVR>(port->desc.hMidi), MOM_OPEN, port->desc.dwInstance,
                         0, 0);
        }
        return result;
      }
      default: {
        auto* port = reinterpret_cast<OutputPort*>(instance);
        const MIDIOPENDESC desc = port->desc;
        const DWORD flags = port->callbackFlags;
        Notices notices;
        long waitMs = 0;
        DWORD result = outputMessage(port, message, param1, param2, notices, waitMs);
        if (waitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        for (const auto& [notify, header] : notices) {
          DriverCallback(desc.dwCallback, flags, reinterpret_cast<HDRVR>(desc.hMidi), notify,
                         desc.dwInstance, header, 0);
        }
        return result;
      }
    }
  }
  switch (message) {
    case MIDM_GETDEVCAPS: {
      auto* port = reinterpret_cast<InputPort*>(instance);
      return getCaps<MIDIINCAPSW, MIDIINCAPS2W>(d, id, param1, param2,
                                                port != nullptr ? &port->device() : nullptr);
    }
    case MIDM_OPEN:
      return openInput(id, reinterpret_cast<DWORD_PTR*>(instance), param1, param2);
    default:
      return inputMessage(reinterpret_cast<InputPort*>(instance), message, param1, param2);
  }
}

}  // namespace

extern "C" {

LRESULT CALLBACK DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1,
                            LPARAM param2) {
  switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_ENABLE:
    case DRV_DISABLE:
      return 1;
    case DRV_QUERYCONFIGURE:
      return 0;
    case DRV_CONFIGURE:
      return DRVCNF_OK;
    case DRV_INSTALL:
    case DRV_REMOVE:
      return DRVCNF_RESTART;
    default:
      return DefDriverProc(id, driver, message, param1, param2);
  }
}

DWORD WINAPI modMessage(UINT id, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2) {
  return driverMessage(Direction::kOut, id, message, instance, param1, param2);
}

DWORD WINAPI midMessage(UINT id, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2) {
  return driverMessage(Direction::kIn, id, message, instance, param1, param2);
}

// Wine's audio layer: the highest priority among the configured drivers wins.
int WINAPI GetPriority() { return 3; }

// No audio endpoints: this driver serves MIDI only.
HRESULT WINAPI GetEndpointIDs(int, WCHAR*** ids, GUID** guids, UINT* count, UINT* defaultIndex) {
  *ids = nullptr;
  *guids = nullptr;
  *count = 0;
  *defaultIndex = 0;
  return S_OK;
}

HRESULT WINAPI GetAudioEndpoint(void*, void*, void** client) {
  *client = nullptr;
  return E_NOTIMPL;
}

HRESULT WINAPI GetAudioSessionManager(void*, void** manager) {
  *manager = nullptr;
  return E_NOTIMPL;
}

}  // extern "C"
