#include "midi/trace_log.h"

#include <cstdlib>

namespace melvix {

namespace {

#ifdef _WIN32
constexpr wchar_t kSettingsKey[] = L"Software\\Melvix";
constexpr wchar_t kSwitchValue[] = L"Trace";

std::filesystem::path logFolder() {
  wchar_t folder[1024];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, 1024);
  if (n == 0 || n >= 1024) return {};
  return std::filesystem::path(std::wstring(folder, n)) / L"Melvix";
}
#else
std::filesystem::path logFolder() {
  const char* folder = std::getenv("MELVIX_TRACE");
  if (folder == nullptr || *folder == 0) return {};
  return folder;
}
#endif

}  // namespace

bool traceSwitchedOn() {
#ifdef _WIN32
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD value = 0;
  DWORD type = 0;
  DWORD size = sizeof value;
  const bool read = RegQueryValueExW(key, kSwitchValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return read && type == REG_DWORD && value != 0;
#else
  return !logFolder().empty();
#endif
}

bool switchTrace(bool on) {
#ifdef _WIN32
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LSTATUS status = ERROR_SUCCESS;
  if (on) {
    const DWORD value = 1;
    status = RegSetValueExW(key, kSwitchValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value);
  } else {
    status = RegDeleteValueW(key, kSwitchValue);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  }
  DWORD subkeys = 0;
  DWORD values = 0;
  const bool empty =
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      subkeys == 0 && values == 0;
  RegCloseKey(key);
  // Switched off, nothing of it stays behind.
  if (empty) RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
  return status == ERROR_SUCCESS;
#else
  (void)on;
  return false;
#endif
}

std::filesystem::path traceLogPath() {
  const std::filesystem::path folder = logFolder();
  return folder.empty() ? folder : folder / "trace.log";
}

std::filesystem::path previousTraceLogPath() {
  const std::filesystem::path folder = logFolder();
  return folder.empty() ? folder : folder / "trace.1.log";
}

}  // namespace melvix
