#include "check/install_check.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <system_error>

#include "check/manifest_check.h"
#include "host/text_encoding.h"

namespace melvix {

namespace {

#ifdef _WIN32
constexpr char kProgramSuffix[] = ".exe";
#else
constexpr char kProgramSuffix[] = "";
#endif
constexpr const char* kPrograms[] = {"melvixhost", "melvixreg", "melvixplay", "melvixcheck"};
// The subfolder of the 32-bit programs in a 64-bit installation.
constexpr char kX86Folder[] = "x86";

std::filesystem::path program(const std::filesystem::path& folder, const char* name) {
  return folder / (std::string(name) + kProgramSuffix);
}

bool isFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

bool isX86Folder(const std::filesystem::path& folder) {
  std::string name = pathText(folder.filename());
  std::transform(name.begin(), name.end(), name.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return name == kX86Folder;
}

// "the x86-64 host C:\...\melvixhost.exe", as far as its file tells.
std::string hostText(const InstalledHost& host) {
  const std::string kind =
      machineBits(host.file.machine) != 0 ? std::string(machineText(host.file.machine)) + " " : "";
  return "the " + kind + "host " + pathText(host.path);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + quoteJson(name);
  return text;
}

// The names of `from` that `in` lacks.
std::vector<std::string> lacking(std::vector<std::string> from, std::vector<std::string> in) {
  std::sort(from.begin(), from.end());
  std::sort(in.begin(), in.end());
  std::vector<std::string> gone;
  std::set_difference(from.begin(), from.end(), in.begin(), in.end(), std::back_inserter(gone));
  gone.erase(std::unique(gone.begin(), gone.end()), gone.end());
  return gone;
}

// "the outputs "A" and the inputs "B"", or empty.
std::string portsText(const std::vector<std::string>& outs, const std::vector<std::string>& ins) {
  std::string text;
  if (!outs.empty()) text = "the outputs " + listed(outs);
  if (!ins.empty()) text += (text.empty() ? "the inputs " : " and the inputs ") + listed(ins);
  return text;
}

}  // namespace

std::filesystem::path installationFolder(const std::filesystem::path& host) {
  const std::filesystem::path folder = host.parent_path();
  if (isX86Folder(folder) && isFile(program(folder.parent_path(), "melvixhost"))) {
    return folder.parent_path();
  }
  return folder;
}

std::optional<std::filesystem::path> otherHost(const std::filesystem::path& host) {
  const std::filesystem::path folder = installationFolder(host);
  const std::filesystem::path other = folder == host.parent_path()
                                          ? program(folder / kX86Folder, "melvixhost")
                                          : program(folder, "melvixhost");
  if (!isFile(other)) return std::nullopt;
  return other;
}

Check hostProgramCheck(Browser browser, const std::filesystem::path& host,
                       const ProgramFile& file) {
  std::string what = "The browser starts the host " + pathText(host) + ": ";
  if (file.machine == Machine::kNone) {
    what += "not a Windows program, so its processor and version are not read from it.";
  } else {
    what +=
        std::string("built for ") + machineText(file.machine) + ", " +
        (file.fileVersion.empty() ? "without a version resource" : "version " + file.fileVersion) +
        (!file.productVersion.empty() && file.productVersion != file.fileVersion
             ? " (product version " + file.productVersion + ")"
             : "") +
        ".";
  }
  return Check(CheckId::kHostProgram, browser, what);
}

std::vector<Check> checkInstalledVersions(const std::filesystem::path& folder) {
  // Each version with the programs of it, in the order of the folders and the programs.
  std::map<std::string, std::vector<std::string>> byVersion;
  for (const bool x86 : {false, true}) {
    for (const char* name : kPrograms) {
      const std::filesystem::path file = program(x86 ? folder / kX86Folder : folder, name);
      // What is no Windows program (the programs off Windows) has no version to compare; a Windows
      // program without a version resource is of a version from before they had one.
      const std::optional<ProgramFile> read = readProgramFile(file);
      if (!read || read->machine == Machine::kNone) continue;
      const std::string shown =
          (x86 ? std::string(kX86Folder) + "\\" : "") + pathText(file.filename());
      byVersion[read->fileVersion].push_back(shown);
    }
  }
  if (byVersion.empty()) return {};
  const std::string where = pathText(folder);
  if (byVersion.size() == 1) {
    const auto& [version, programs] = *byVersion.begin();
    return {Check(CheckId::kInstallSameVersion, std::nullopt,
                  "Every Melvix program in " + where +
                      (version.empty() ? " is without a version resource: "
                                       : " is of version " + version + ": ") +
                      joined(programs) + ".")};
  }
  std::string versions;
  for (const auto& [version, programs] : byVersion) {
    versions += (versions.empty() ? "" : "; ") +
                (version.empty() ? std::string("no version") : "version " + version) + ": " +
                joined(programs);
  }
  return {Check(CheckId::kInstallMixedVersions, std::nullopt,
                "The Melvix programs in " + where + " are not all of one version (" + versions +
                    "): an update or a repair was cut short, or a program was copied in by hand.",
                "Run the Melvix installer again (with /X86 if it was installed so): it writes "
                "every program anew.")};
}

std::vector<Check> compareHosts(const InstalledHost& started, const InstalledHost& other) {
  if (!other.answered) {
    return {Check(CheckId::kHostsOtherNoAnswer, std::nullopt,
                  "The installation's other host, " + hostText(other) +
                      ", did not answer [\"refresh\"], so which ports it sees is not known.",
                  "Run the Melvix installer again.")};
  }
  const std::string onlyStarted =
      portsText(lacking(started.outs, other.outs), lacking(started.ins, other.ins));
  const std::string onlyOther =
      portsText(lacking(other.outs, started.outs), lacking(other.ins, started.ins));
  if (onlyStarted.empty() && onlyOther.empty()) {
    return {Check(CheckId::kHostsSame, std::nullopt,
                  "The installation's two hosts see the same MIDI ports: " + hostText(started) +
                      ", which the browsers start, and " + hostText(other) + ".")};
  }
  std::string what = "The installation's two hosts see different MIDI ports.";
  if (!onlyOther.empty()) {
    what += " Only " + hostText(other) + " sees " + onlyOther +
            "; the browsers start the other one, so they do not.";
  }
  if (!onlyStarted.empty()) {
    what += " Only " + hostText(started) + ", which the browsers start, sees " + onlyStarted + ".";
  }
  what +=
      " On 64-bit Windows a 64-bit program sees the MIDI drivers registered for 64-bit programs "
      "and a 32-bit program those registered for 32-bit ones (two Drivers32 keys: "
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32 in the "
      "64-bit and the 32-bit view of the registry), so a device whose driver exists for one "
      "bitness only (old hardware, some virtual cables) is there for one of the hosts alone.";
  std::string fix;
  if (!onlyOther.empty()) {
    // A host that is no Windows program (off Windows) is taken for what its folder says.
    const unsigned bits = machineBits(other.file.machine);
    const bool otherIs32 = bits == 32 || (bits == 0 && isX86Folder(other.path.parent_path()));
    fix = otherIs32 ? "To use " + onlyOther +
                          " in the browsers, run the Melvix installer again with /X86: the "
                          "browsers then start the 32-bit host."
                    : "To use " + onlyOther +
                          " in the browsers, run the Melvix installer again without /X86: the "
                          "browsers then start the x86-64 host.";
    if (!onlyStarted.empty()) fix += " They then no longer see " + onlyStarted + ".";
  }
  return {Check(CheckId::kHostsDiffer, std::nullopt, what, fix)};
}

}  // namespace melvix
