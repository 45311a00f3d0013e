// The registry (read only, in memory), GUID text and the message box.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "platform/sim/sim_world.h"
#include "platform/winapi.h"

using sim::World;

namespace {

constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000E);

struct OpenKey {
  std::u16string path;  // lower-cased
};

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  std::u16string path = lpSubKey != nullptr ? std::u16string(lpSubKey) : std::u16string();
  std::string call = "RegOpenKeyExW " + sim::quoted(path);
  if (hKey != HKEY_LOCAL_MACHINE || phkResult == nullptr) {
    world.record(call + " -> " + std::to_string(ERROR_FILE_NOT_FOUND));
    return ERROR_FILE_NOT_FOUND;
  }
  auto key = world.registry.find(sim::lowerCase(path));
  if (key == world.registry.end()) {
    world.record(call + " -> " + std::to_string(ERROR_FILE_NOT_FOUND));
    return ERROR_FILE_NOT_FOUND;
  }
  *phkResult = reinterpret_cast<HKEY>(new OpenKey{key->first});
  world.record(call + " -> 0");
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  std::u16string name = lpValueName != nullptr ? std::u16string(lpValueName) : std::u16string();
  std::string call = "RegQueryValueExW " + sim::quoted(name);
  auto result = [&](LSTATUS status) {
    world.record(call + " -> " + std::to_string(status));
    return status;
  };
  if (hKey == nullptr) return result(ERROR_FILE_NOT_FOUND);
  auto* key = reinterpret_cast<OpenKey*>(hKey);
  auto keyIt = world.registry.find(key->path);
  if (keyIt == world.registry.end()) return result(ERROR_FILE_NOT_FOUND);
  auto value = keyIt->second.find(sim::lowerCase(name));
  if (value == keyIt->second.end()) return result(ERROR_FILE_NOT_FOUND);
  const std::vector<BYTE>& data = value->second;
  if (lpType != nullptr) *lpType = 1;  // REG_SZ
  if (lpcbData == nullptr) return result(lpData == nullptr ? ERROR_SUCCESS : 87);
  DWORD size = static_cast<DWORD>(data.size());
  if (lpData == nullptr) {
    *lpcbData = size;
    return result(ERROR_SUCCESS);
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return result(ERROR_MORE_DATA);
  }
  if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
  *lpcbData = size;
  return result(ERROR_SUCCESS);
}

LSTATUS RegCloseKey(HKEY hKey) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  if (hKey == nullptr || hKey == HKEY_LOCAL_MACHINE) {
    world.record("RegCloseKey -> 6");
    return 6;  // ERROR_INVALID_HANDLE
  }
  delete reinterpret_cast<OpenKey*>(hKey);
  world.record("RegCloseKey -> 0");
  return ERROR_SUCCESS;
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  std::u16string text = sim::guidText(rclsid);
  auto* out = static_cast<WCHAR*>(std::malloc((text.size() + 1) * sizeof(WCHAR)));
  if (out == nullptr) return kOutOfMemory;
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  *lplpsz = out;
  return 0;
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

int MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  std::string text =
      std::string(lpCaption != nullptr ? lpCaption : "") + ": " + (lpText != nullptr ? lpText : "");
  long waitMs = 0;
  {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex);
    world.record("MessageBoxA " + std::to_string(uType) + " " + text);
    world.recordBox(text);
    waitMs = world.boxWaitMs;
  }
  // Standard output carries frames only.
  std::fprintf(stderr, "[message box] %s\n", text.c_str());
  // The user takes their time, or never comes.
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs < 0 ? 60000 : waitMs));
  } while (waitMs < 0);
  return 1;  // IDOK
}

namespace sim {

std::u16string guidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return u16(text);
}

std::u16string manufacturerKeyPath(const GUID& guid) {
  return u"SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\" + guidText(guid);
}

void setRegistryValue(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::vector<BYTE>& data) {
  World& world = World::get();
  std::lock_guard<std::mutex> lock(world.mutex);
  world.registry[lowerCase(keyPath)][lowerCase(valueName)] = data;
}

}  // namespace sim
