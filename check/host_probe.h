// The host started exactly as a browser starts it, asked what a browser asks first.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "check/findings.h"
#include "check/json_value.h"

namespace melvix {

struct HostProbe {
  std::vector<Check> findings;
  bool answered = false;  // both replies came, as frames of the right kind
  // The port names the host's ["refresh"] gave, when it answered.
  std::vector<std::string> outs;
  std::vector<std::string> ins;
};

// Starts `host` as `browser` would (on Windows Chrome, Chromium and Edge through cmd.exe with the
// extension's origin and --parent-window, elsewhere directly with the origin; Firefox directly with
// the manifest's path and the add-on's id; the host's folder as the working folder; standard input
// and output as pipes), sends ["version"] and ["refresh"], checks each reply frame, then ends its
// input and expects it to end with status 0 within a second.
HostProbe probeHost(Browser browser, const std::filesystem::path& host,
                    const std::filesystem::path& manifest);

// The frames a host wrote, taken apart: what the probe makes of the bytes read so far.
struct FrameScan {
  std::vector<std::string> texts;  // whole frames
  std::vector<JsonValue> values;   // each read as JSON
  bool garbage = false;            // a length no host would send, or a text that is not JSON
  std::size_t rest = 0;            // bytes after the last whole frame
};
FrameScan scanFrames(const std::string& bytes);

}  // namespace melvix
