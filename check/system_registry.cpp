#include "check/registry.h"
#include "host/text_encoding.h"

namespace melvix {

namespace {

#ifdef _WIN32
HKEY rootOf(Hive hive) {
  return hive == Hive::kCurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

REGSAM viewFlag(View view) {
  switch (view) {
    case View::k32:
      return KEY_WOW64_32KEY;
    case View::k64:
      return KEY_WOW64_64KEY;
    case View::kShared:
      break;
  }
  return 0;
}

const wchar_t* wide(const WideString& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A string value's UTF-16 units, up to its first NUL (the registry does not promise one).
WideString unitsOf(const BYTE* data, std::size_t size) {
  WideString text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// The Windows registry, read only.
class WindowsRegistry : public Registry {
 public:
  std::optional<RegistryString> ReadString(Hive hive, View view, const WideString& key,
                                           const WideString& name) override {
    std::vector<BYTE> data;
    DWORD type = 0;
    if (!Read(hive, view, key, name, type, data)) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    RegistryString result;
    result.expandable = type == REG_EXPAND_SZ;
    result.value = unitsOf(data.data(), data.size());
    return result;
  }

  std::optional<DWORD> ReadDword(Hive hive, View view, const WideString& key,
                                 const WideString& name) override {
    std::vector<BYTE> data;
    DWORD type = 0;
    if (!Read(hive, view, key, name, type, data) || type != REG_DWORD || data.size() < 4) {
      return std::nullopt;
    }
    return static_cast<DWORD>(data[0] | data[1] << 8 | data[2] << 16 |
                              static_cast<DWORD>(data[3]) << 24);
  }

  std::vector<WideString> ReadStrings(Hive hive, View view, const WideString& key) override {
    std::vector<WideString> values;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(rootOf(hive), wide(key), 0, KEY_QUERY_VALUE | viewFlag(view), &handle) !=
        ERROR_SUCCESS) {
      return values;
    }
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD nameLength = 256;
      BYTE data[4096];
      DWORD size = sizeof data;
      DWORD type = 0;
      const LSTATUS status =
          RegEnumValueW(handle, i, name, &nameLength, nullptr, &type, data, &size);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS || type != REG_SZ) continue;
      values.push_back(unitsOf(data, size));
    }
    RegCloseKey(handle);
    return values;
  }

 private:
  static bool Read(Hive hive, View view, const WideString& key, const WideString& name, DWORD& type,
                   std::vector<BYTE>& data) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(rootOf(hive), wide(key), 0, KEY_QUERY_VALUE | viewFlag(view), &handle) !=
        ERROR_SUCCESS) {
      return false;
    }
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(handle, wide(name), nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
      data.resize(size + 2);
      size = static_cast<DWORD>(data.size());
      status = RegQueryValueExW(handle, wide(name), nullptr, &type, data.data(), &size);
      data.resize(size);
    }
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
  }
};
#else
// No browser keeps anything in a registry here.
class NoRegistry : public Registry {
 public:
  std::optional<RegistryString> ReadString(Hive, View, const WideString&,
                                           const WideString&) override {
    return std::nullopt;
  }
  std::optional<DWORD> ReadDword(Hive, View, const WideString&, const WideString&) override {
    return std::nullopt;
  }
  std::vector<WideString> ReadStrings(Hive, View, const WideString&) override { return {}; }
};
#endif

}  // namespace

std::unique_ptr<Registry> systemRegistry() {
#ifdef _WIN32
  return std::make_unique<WindowsRegistry>();
#else
  return std::make_unique<NoRegistry>();
#endif
}

std::string registryPlaceText(Hive hive, View view, const WideString& key) {
  std::string text = hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\";
  text += wideToUtf8(key);
  if (view == View::k32) text += " (32-bit view)";
  if (view == View::k64) text += " (64-bit view)";
  return text;
}

}  // namespace melvix
