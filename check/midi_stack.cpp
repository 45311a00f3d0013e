#include "check/midi_stack.h"

#include <string>

#include "host/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace melvix {

namespace {

const WideString kDrivers32 = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const WideString kMidiServices = u"SOFTWARE\\Microsoft\\Windows MIDI Services";
const char kNewStackDriver[] = "wdmaud2.drv";

// The MIDI drivers of one registry view: the values "midi" and "midi1" to "midi9".
struct Registered {
  std::string newStackValue;  // the value naming wdmaud2.drv; empty when none does
  std::vector<std::string> others;
};

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

Registered registered(Registry& registry, View view) {
  Registered found;
  for (int i = 0; i <= 9; ++i) {
    const std::string name = i == 0 ? "midi" : "midi" + std::to_string(i);
    const auto value = registry.ReadString(Hive::kLocalMachine, view, kDrivers32, utf8ToWide(name));
    if (!value || value->value.empty()) continue;
    const std::string driver = wideToUtf8(value->value);
    if (lowered(driver) == kNewStackDriver) {
      if (found.newStackValue.empty()) found.newStackValue = name;
    } else {
      found.others.push_back(name + " = " + driver);
    }
  }
  return found;
}

}  // namespace

std::vector<Check> checkMidiStack(Registry& registry, std::optional<bool> serviceRunning) {
  const Registered wide = registered(registry, View::k64);
  const Registered narrow = registered(registry, View::k32);
  std::vector<Check> checks;
  const std::string place64 = registryPlaceText(Hive::kLocalMachine, View::k64, kDrivers32);
  const std::string place32 = registryPlaceText(Hive::kLocalMachine, View::k32, kDrivers32);
  if (wide.newStackValue.empty() && narrow.newStackValue.empty()) {
    std::string drivers;
    for (const std::string& one : wide.others) drivers += (drivers.empty() ? "" : ", ") + one;
    checks.push_back(Check(CheckId::kMidiStack, std::nullopt,
                           "WinMM reaches the MIDI devices through classic drivers" +
                               (drivers.empty() ? std::string() : " (" + drivers + ")") + "."));
    return checks;
  }
  std::string what = "WinMM reaches the MIDI devices through Windows MIDI Services (" +
                     std::string(kNewStackDriver) + " as " +
                     (wide.newStackValue.empty() ? narrow.newStackValue : wide.newStackValue) +
                     " in " + (wide.newStackValue.empty() ? place32 : place64) + ")";
  if (serviceRunning) {
    what += *serviceRunning ? "; its service midisrv runs" : "; its service midisrv does not run";
  }
  const auto naming =
      registry.ReadDword(Hive::kLocalMachine, View::k64, kMidiServices, u"DefaultMidi1PortNaming");
  if (naming && *naming == 1) {
    what += ". Ports have their classic names (DefaultMidi1PortNaming is 1).";
  } else {
    what +=
        ". Ports may have its new-style names, which a page that remembers a port by name "
        "does not know; to restore the classic names, set the DWORD value "
        "DefaultMidi1PortNaming to 1 in " +
        registryPlaceText(Hive::kLocalMachine, View::k64, kMidiServices) +
        " and restart the computer.";
  }
  checks.push_back(Check(CheckId::kMidiStack, std::nullopt, what));
  if (serviceRunning && !*serviceRunning) {
    checks.push_back(Check(CheckId::kMidiStackNoService, std::nullopt,
                           "The service midisrv of Windows MIDI Services does not run: no program "
                           "sees a MIDI port.",
                           "Start the service \"Windows MIDI Service\" (services.msc), or restart "
                           "the computer."));
  }
  if (!wide.newStackValue.empty() && narrow.newStackValue.empty()) {
    checks.push_back(Check(
        CheckId::kMidiStackNo32Bit, std::nullopt,
        place64 + " names " + kNewStackDriver + " as " + wide.newStackValue + ", but " + place32 +
            " does not: 32-bit programs, such as the 32-bit Melvix host, see none of Windows MIDI "
            "Services' ports (a driver's uninstaller may have removed the value).",
        "As an administrator, run: reg add \"HKLM\\" + wideToUtf8(kDrivers32) + "\" /reg:32 /v " +
            wide.newStackValue + " /t REG_SZ /d " + kNewStackDriver +
            " /f (or reinstall Windows MIDI Services), then restart the browser."));
  }
  return checks;
}

std::optional<bool> midiServiceRunning() {
#ifdef _WIN32
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return std::nullopt;
  SC_HANDLE service = OpenServiceW(manager, L"midisrv", SERVICE_QUERY_STATUS);
  std::optional<bool> running;
  if (service != nullptr) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status)) running = status.dwCurrentState == SERVICE_RUNNING;
    CloseServiceHandle(service);
  } else if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
    running = false;
  }
  CloseServiceHandle(manager);
  return running;
#else
  return std::nullopt;
#endif
}

}  // namespace melvix
