#include "tests/wine/driver_devices.h"

#include <algorithm>

#include "tests/wine/input_port.h"

namespace wdrv {

namespace {

// MELVIX_SIM_DIR holds a Unix path (Wine passes the Unix environment on); drive Z: maps the Unix
// root. Empty when the variable is unset or empty.
std::wstring controlDirFromEnvironment() {
  wchar_t value[4096];
  DWORD n = GetEnvironmentVariableW(L"MELVIX_SIM_DIR", value, 4096);
  if (n == 0 || n >= 4096) return {};
  std::wstring dir(value, n);
  if (dir[0] == L'/') dir = L"Z:" + dir;
  for (auto& c : dir) {
    if (c == L'/') c = L'\\';
  }
  return dir;
}

// The registry value where programs look up a manufacturer's name.
void writeManufacturerName(const DeviceSpec& profile) {
  std::u16string key = u"SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\";
  wchar_t guid[64];
  if (StringFromGUID2(profile.manufacturerGuid, guid, 64) == 0) return;
  std::wstring path(key.begin(), key.end());
  path += guid;
  HKEY hkey = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &hkey, nullptr) != ERROR_SUCCESS) {
    return;
  }
  const std::u16string& name = *profile.registryName;
  RegSetValueExW(hkey, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)));
  RegCloseKey(hkey);
}

}  // namespace

Devices& Devices::get() {
  // Never destroyed: the poller and delivery threads may outlive static destructors.
  static Devices* devices = new Devices();
  return *devices;
}

Devices::Devices() : dir_(controlDirFromEnvironment()) {
  if (dir_.empty()) {
    for (const auto& [direction, profile] : sim::defaultDevices()) plug(direction, profile);
  }
}

std::shared_ptr<Device> Devices::at(Direction d, UINT id) {
  if (id >= kSlots) return nullptr;
  auto& device = slots(d)[id];
  return device && device->present ? device : nullptr;
}

std::shared_ptr<Device> Devices::find(Direction d, const std::u16string& name) {
  for (auto& device : slots(d)) {
    if (device && device->present && device->profile.name == name) return device;
  }
  return nullptr;
}

bool Devices::namePresent(Direction d, const std::u16string& name) {
  return find(d, name) != nullptr;
}

bool Devices::plug(Direction d, const DeviceSpec& profile) {
  DeviceSpec named = profile;
  if (newStack) {
    // A second unit of one model is told apart by a number before its name; until the November
    // 2026 update every unit plugged in again got the next one ("prefixgrows").
    int& plugged = unitsPlugged_[d == Direction::kOut ? 0 : 1][profile.name];
    ++plugged;
    if (namePresent(d, profile.name)) {
      const auto numbered = [&](int unit) {
        return sim::u16(std::to_string(unit) + "- ") + profile.name;
      };
      int unit = 2;
      if (newStackOptions.prefixGrows) {
        unit = std::max(2, plugged);
      } else {
        while (namePresent(d, numbered(unit))) ++unit;
      }
      named.name = numbered(unit);
    }
  }
  for (auto& slot : slots(d)) {
    if (slot && slot->present) continue;
    slot = std::make_shared<Device>();
    slot->direction = d;
    slot->profile = named;
    if (profile.registryName) writeManufacturerName(profile);
    return true;
  }
  return false;
}

bool Devices::unplug(Direction d, const std::u16string& name) {
  auto device = find(d, name);
  if (!device) return false;
  unplug(*device);
  return true;
}

void Devices::unplug(Device& device) {
  device.present = false;
  device.flood = FloodMode::kOff;
  if (device.input != nullptr) device.input->unplug();
}

bool Devices::takeFault(Device& device, Fault fault) {
  auto it = device.faults.find(fault);
  if (it == device.faults.end() || it->second == 0) return false;
  if (it->second > 0) --it->second;
  return true;
}

void Devices::append(HANDLE& file, const wchar_t* name, const std::string& line) {
  if (dir_.empty()) return;
  if (file == INVALID_HANDLE_VALUE) {
    file = CreateFileW((dir_ + L"\\" + name).c_str(), FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
  }
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Devices::record(const std::string& line) { append(calls_, L"calls", line); }

void Devices::recordReceived(const std::u16string& device, bool isLong,
                             const std::vector<BYTE>& bytes) {
  append(received_, L"received",
         sim::quoted(device) + (isLong ? " long " : " short ") + sim::hexBytes(bytes));
}

}  // namespace wdrv
