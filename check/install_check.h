// The installation a browser's host belongs to, as the installer lays it out: on 64-bit Windows the
// x86-64 programs in the installation folder and the 32-bit ones in its subfolder x86, the
// manifests naming either host (the 32-bit one when installed with /X86); on 32-bit Windows the
// 32-bit programs in the folder alone.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "check/findings.h"
#include "check/program_file.h"

namespace melvix {

// The installation folder of a host program: its own folder, or the one above when it is the
// 32-bit host in x86.
std::filesystem::path installationFolder(const std::filesystem::path& host);
// The host in that installation that the browsers do not start (the other bitness's), if any.
std::optional<std::filesystem::path> otherHost(const std::filesystem::path& host);

// What the browser starts: the host's path, its processor and its version.
Check hostProgramCheck(Browser browser, const std::filesystem::path& host, const ProgramFile& file);

// The programs of the installation (its folder and x86): a problem when they are not all of one
// version, as when an update was cut short or a program was copied in by hand.
std::vector<Check> checkInstalledVersions(const std::filesystem::path& folder);

// The ports that only one of the installation's two hosts sees, `started` being the one the
// browsers start, with how to switch to the other.
std::vector<Check> compareHosts(const InstalledHost& started, const InstalledHost& other);

}  // namespace melvix
