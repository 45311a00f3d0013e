// The part of the Windows registry that the browsers read to find a native-messaging host, as an
// interface, so that the search can be checked against a registry made up in a test.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "midi/wide_string.h"
#include "platform/winapi.h"

namespace melvix {

enum class Hive { kCurrentUser, kLocalMachine };
// On 64-bit Windows HKLM\SOFTWARE has two views, which a program names explicitly
// (KEY_WOW64_32KEY, KEY_WOW64_64KEY); HKCU\Software and HKLM\SOFTWARE\Policies are shared by both.
enum class View { kShared, k32, k64 };

struct RegistryString {
  WideString value;
  bool expandable = false;  // REG_EXPAND_SZ rather than REG_SZ
};

class Registry {
 public:
  virtual ~Registry() = default;
  // A string value of a key (an empty `name`: the key's default value); nothing when the key or
  // the value is missing or the value is not a string.
  virtual std::optional<RegistryString> ReadString(Hive hive, View view, const WideString& key,
                                                   const WideString& name) = 0;
  // A DWORD value; nothing when missing or of another type.
  virtual std::optional<DWORD> ReadDword(Hive hive, View view, const WideString& key,
                                         const WideString& name) = 0;
  // The string values of a key, in any order: how policies keep a list.
  virtual std::vector<WideString> ReadStrings(Hive hive, View view, const WideString& key) = 0;
};

// The system's registry; elsewhere than on Windows an empty one.
std::unique_ptr<Registry> systemRegistry();

// "HKEY_CURRENT_USER\<key>", with " (32-bit view)" or " (64-bit view)" where it matters.
std::string registryPlaceText(Hive hive, View view, const WideString& key);

}  // namespace melvix
