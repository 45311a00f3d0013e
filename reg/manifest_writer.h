// The native-messaging manifests by which Chrome and Firefox find melvixhost, and the run of
// melvixreg that writes them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace melvix {

// The companion Firefox add-on, the one extension Firefox lets start the host.
inline constexpr char kFirefoxAddonId[] = "melvix-midi@tarnwell.com";

// Text as it may stand between the quotation marks of a JSON string: backslash and quotation mark
// are escaped, bytes below 0x20 become \u00xx (lowercase hex); every other byte, those of UTF-8
// sequences included, is copied unchanged.
std::string escapeJsonText(std::string_view text);

// The complete manifest files, lines ended by a line feed alone. `hostPath` is UTF-8.
std::string chromeManifest(std::string_view hostPath);
std::string firefoxManifest(std::string_view hostPath);

// UTF-16 to UTF-8. A surrogate without its partner becomes U+FFFD, as Windows converts it.
std::string utf16ToUtf8(std::u16string_view units);

// Strings as the system's file functions and command line have them: UTF-16 on Windows, bytes
// elsewhere.
#ifdef _WIN32
using NativeString = std::wstring;
#else
using NativeString = std::string;
#endif

// melvixreg's exit code when a manifest could not be written whole; 1 stays "wrong arguments".
inline constexpr int kManifestNotWritten = 2;

// Creates `markerPath` empty; then, given exactly the two arguments prefix and host path, writes
// prefix + ".chrome.json" and prefix + ".firefox.json". A file that cannot be written whole does
// not stop the other one; nothing is printed, as an installer has no one to show it to. Returns
// the exit code: 0 when both were written, kManifestNotWritten when one was not, 1 for a wrong
// number of arguments.
int runMelvixReg(const std::vector<NativeString>& args, const NativeString& markerPath);

}  // namespace melvix
