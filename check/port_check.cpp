#include "check/port_check.h"

#include <algorithm>
#include <iterator>
#include <tuple>

#include "host/text_encoding.h"
#include "midi/cmidi_win32.h"
#include "midi/winmm_error.h"

namespace melvix {

namespace {

// A port's state after one try at opening it.
void setState(PortCheck& port, MMRESULT opened) {
  if (opened == MMSYSERR_NOERROR) {
    port.state = PortState::kOk;
  } else if (opened == MMSYSERR_ALLOCATED) {
    port.state = PortState::kInUse;
  } else {
    port.state = PortState::kFailed;
    port.error = winmmErrorName(opened);
  }
}

PortCheck described(const PortLookup& info) {
  PortCheck port;
  if (!info) return port;
  port.name = wideToUtf8(info->name);
  port.manufacturer = wideToUtf8(info->manufacturer);
  port.version = wideToUtf8(info->version);
  return port;
}

void addFinding(PortScan& scan, const PortCheck& port, const char* direction) {
  if (port.state == PortState::kOk) return;
  const std::string who = std::string("The MIDI ") + direction + " " + quoteJson(port.name);
  if (port.state == PortState::kInUse) {
    scan.findings.push_back(Check(CheckId::kPortInUse, std::nullopt,
                                  who + " is in use by another program.",
                                  "Close the other program that uses it and try again."));
  } else {
    scan.findings.push_back(Check(CheckId::kPortFailed, std::nullopt,
                                  who + " cannot be opened (" + port.error + ").",
                                  "Unplug the device and plug it in again; if that does not help, "
                                  "reinstall its driver."));
  }
}

std::vector<std::string> names(const std::vector<PortCheck>& ports) {
  std::vector<std::string> list;
  for (const PortCheck& port : ports) list.push_back(port.name);
  std::sort(list.begin(), list.end());
  return list;
}

}  // namespace

namespace {

// Each device of one direction, described and opened once to test it (nothing is sent).
// `tryOpen` opens the device of an id and closes it again, answering what the open answered.
template <typename Describe, typename TryOpen>
void scanDirection(PortScan& scan, UINT count, Describe describe, TryOpen tryOpen,
                   const char* direction, std::vector<PortCheck>& into) {
  for (UINT id = 0; id < count; ++id) {
    const PortLookup info = describe(static_cast<std::uint32_t>(id));
    // An id whose capabilities cannot be read is no port (Wine's drivers keep empty ids).
    if (!info) continue;
    PortCheck port = described(info);
    setState(port, tryOpen(id));
    addFinding(scan, port, direction);
    into.push_back(port);
  }
}

}  // namespace

PortScan checkPorts() {
  PortScan scan;
  CMidiWin32 midi;
  scanDirection(
      scan, midiOutGetNumDevs(), [&](std::uint32_t id) { return midi.OutInfo(id); },
      [](UINT id) {
        HMIDIOUT handle = nullptr;
        const MMRESULT opened = midiOutOpen(&handle, id, 0, 0, CALLBACK_NULL);
        if (opened == MMSYSERR_NOERROR) midiOutClose(handle);
        return opened;
      },
      "output", scan.outs);
  scanDirection(
      scan, midiInGetNumDevs(), [&](std::uint32_t id) { return midi.InInfo(id); },
      [](UINT id) {
        HMIDIIN handle = nullptr;
        const MMRESULT opened = midiInOpen(&handle, id, 0, 0, CALLBACK_NULL);
        if (opened == MMSYSERR_NOERROR) midiInClose(handle);
        return opened;
      },
      "input", scan.ins);
  return scan;
}

std::vector<Check> comparePorts(const PortScan& ports, const std::vector<std::string>& hostOuts,
                                const std::vector<std::string>& hostIns, unsigned hostBits) {
  std::vector<std::string> outs = hostOuts;
  std::vector<std::string> ins = hostIns;
  std::sort(outs.begin(), outs.end());
  std::sort(ins.begin(), ins.end());
  if (outs == names(ports.outs) && ins == names(ports.ins)) {
    return {
        Check(CheckId::kPortsSame, std::nullopt, "The host lists the same MIDI ports as Windows.")};
  }
  // The names one list has and the other lacks, each once.
  const auto missing = [](const std::vector<std::string>& from,
                          const std::vector<std::string>& in) {
    std::vector<std::string> gone;
    std::set_difference(from.begin(), from.end(), in.begin(), in.end(), std::back_inserter(gone));
    std::string text;
    for (const std::string& name : gone) text += (text.empty() ? "" : ", ") + quoteJson(name);
    return text;
  };
  std::string which;
  for (const auto& [host, windows, direction] :
       {std::make_tuple(outs, names(ports.outs), "outputs"),
        std::make_tuple(ins, names(ports.ins), "inputs")}) {
    const std::string onlyHost = missing(host, windows);
    const std::string onlyWindows = missing(windows, host);
    if (!onlyWindows.empty())
      which += std::string(" Only Windows lists the ") + direction + " " + onlyWindows + ".";
    if (!onlyHost.empty())
      which += std::string(" Only the host lists the ") + direction + " " + onlyHost + ".";
  }
  // Older hosts stopped at the first port they could not describe; a device that comes or
  // goes between the two lists differs too. A host of the other bitness sees other drivers.
  const unsigned ownBits = 8 * sizeof(void*);
  const std::string why =
      hostBits != 0 && hostBits != ownBits
          ? ": the host is a " + std::to_string(hostBits) + "-bit program and this check a " +
                std::to_string(ownBits) +
                "-bit one, and each sees the MIDI drivers registered for its own bitness."
          : ": a device came or went meanwhile, or an older host hides the ports after one whose "
            "description cannot be read.";
  return {Check(CheckId::kPortsDiffer, std::nullopt,
                "The host lists " + std::to_string(hostOuts.size()) + " outputs and " +
                    std::to_string(hostIns.size()) + " inputs, Windows " +
                    std::to_string(ports.outs.size()) + " and " + std::to_string(ports.ins.size()) +
                    why + which,
                "Run the check again; if the lists still differ, reinstall Melvix.")};
}

}  // namespace melvix
