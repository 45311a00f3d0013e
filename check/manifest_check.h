// A host manifest read as the browser that found it reads it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "check/findings.h"
#include "midi/wide_string.h"

namespace melvix {

// The extension the Chrome manifest must allow, trailing slash included, and the Firefox add-on.
inline constexpr char kChromeOrigin[] = "chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/";
inline constexpr char kFirefoxExtension[] = "melvix-midi@tarnwell.com";

struct ManifestCheck {
  // What is wrong with it, or doubtful; empty when the browser will take it.
  std::vector<Check> findings;
  // The host program the browser starts: the one the manifest names, when it exists and nothing
  // else keeps the browser from taking the manifest.
  std::optional<std::filesystem::path> host;
};

// Reads the manifest at `manifest` for `browser`: readable; JSON (a byte-order mark is noted);
// the name, the type, a path to an existing program (a relative one is taken from the manifest's
// folder, as the browsers do), and the browser's list of allowed extensions.
ManifestCheck checkManifest(Browser browser, const std::filesystem::path& manifest);

// A path as text for people (UTF-8).
std::string pathText(const std::filesystem::path& path);
// A path from the UTF-16 of the registry.
std::filesystem::path pathFrom(const WideString& text);

}  // namespace melvix
