#include "midi/port_description.h"

#include <algorithm>
#include <string>

#include "midi/manufacturer_table.h"

namespace melvix {

namespace {

constexpr DWORD kNameBufferBytes = 1024;

WideString asciiToWide(const std::string& text) { return WideString(text.begin(), text.end()); }

}  // namespace

WideString registryManufacturer(const GUID& guid) {
  LPOLESTR guidText = nullptr;
  if (StringFromCLSID(guid, &guidText) != 0 || guidText == nullptr) return WideString();
  WideString path = u"SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\";
  for (const WCHAR* p = guidText; *p != 0; ++p) path.push_back(static_cast<char16_t>(*p));
  CoTaskMemFree(guidText);

  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, winStr(path), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return WideString();
  }
  WCHAR buffer[kNameBufferBytes / sizeof(WCHAR)] = {};
  DWORD size = kNameBufferBytes;
  WideString name;
  const WideString valueName = u"Name";
  if (RegQueryValueExW(key, winStr(valueName), nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer),
                       &size) == ERROR_SUCCESS) {
    // Up to the first NUL, and never beyond the bytes read.
    std::size_t units = std::min<std::size_t>(size, kNameBufferBytes) / sizeof(WCHAR);
    for (std::size_t i = 0; i < units && buffer[i] != 0; ++i) {
      name.push_back(static_cast<char16_t>(buffer[i]));
    }
  }
  RegCloseKey(key);
  return name;
}

WideString versionText(std::uint32_t driverVersion) {
  return asciiToWide(std::to_string(driverVersion >> 8) + "." +
                     std::to_string(driverVersion & 0xFF));
}

PortInfo describePort(const WideString& name, std::uint32_t mid, std::uint32_t driverVersion,
                      const GUID& manufacturerGuid, const ManufacturerLookup& lookup) {
  WideString manufacturer = lookup ? lookup(manufacturerGuid) : WideString();
  if (manufacturer.empty()) manufacturer = manufacturerName(mid);
  return {name, manufacturer, versionText(driverVersion)};
}

}  // namespace melvix
