#include "check/browser_checks.h"

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "check/browser_lookup.h"
#include "check/host_probe.h"
#include "check/install_check.h"
#include "check/manifest_check.h"

namespace melvix {

namespace {

InstalledHost installedHost(const std::filesystem::path& path, const HostProbe& probe) {
  InstalledHost host;
  host.path = path;
  host.file = readProgramFile(path).value_or(ProgramFile{});
  host.answered = probe.answered;
  host.outs = probe.outs;
  host.ins = probe.ins;
  return host;
}

}  // namespace

std::vector<Check> checkBrowsers(Registry& registry, const PortScan& ports,
                                 std::vector<InstalledHost>* hosts) {
  std::vector<Check> checks;
  std::vector<InstalledHost> seen;
  std::map<std::string, std::size_t> hostAt;  // a host's path: its place in `seen`
  std::set<std::string> installations;        // the folders whose programs were looked at
  const auto add = [&](const std::vector<Check>& more) {
    checks.insert(checks.end(), more.begin(), more.end());
  };
  // A host started once per program and way of starting answers for every browser that starts it
  // so; what it did is said again for each of them.
  std::map<std::pair<std::string, bool>, HostProbe> probed;
  bool compared = false;
  for (Browser browser : kBrowsers) {
    const Registration found = findRegistration(browser, registry);
    if (found.policy.blocked) {
      checks.push_back(Check(
          CheckId::kPolicyBlocked, browser,
          "An administrator's policy blocks the Melvix host (" + found.policy.blockedBy +
              "). The extension sees \"Access to the native messaging host was disabled by the "
              "system administrator.\"",
          std::string("Ask the administrator to add ") + kHostName +
              " to the policy NativeMessagingAllowlist."));
    }
    if (!found.used) {
      if (!found.ignoredPerUser.empty()) {
        checks.push_back(Check(
            CheckId::kPolicyUserLevelHosts, browser,
            "The host is installed for this user only (" + hostKeyText(found.ignoredPerUser[0]) +
                "), and a policy (" + found.policy.userLevelPolicy +
                ") tells the browser to ignore hosts installed per user. The extension sees "
                "\"Specified native messaging host not found.\"",
            "An administrator must install Melvix for all users: run the installer as an "
            "administrator and choose all users (silently: /S /ALLUSERS)."));
      } else {
        checks.push_back(
            Check(CheckId::kRegistrationMissing, browser,
                  std::string("No registry key the browser reads names the host ") + kHostName +
                      " (" + hostKeyText(searchOrder(browser).front()) + " and " +
                      std::to_string(searchOrder(browser).size() - 1) +
                      " more). The extension sees \"Specified native messaging host not found.\"",
                  "Run the Melvix installer again."));
      }
      continue;
    }
    const std::filesystem::path manifest = pathFrom(found.manifest);
    const std::string mode = found.used->hive == Hive::kCurrentUser ? "installed for this user"
                                                                    : "installed for all users";
    checks.push_back(Check(CheckId::kRegistrationFound, browser,
                           "The browser takes the manifest " + pathText(manifest) + " from " +
                               hostKeyText(*found.used) + " (" + mode + ")."));
    for (const HostKey& key : found.shadowed) {
      checks.push_back(
          Check(CheckId::kRegistrationShadowed, browser,
                hostKeyText(key) +
                    " also names a manifest, which the browser never reads: the key above wins."));
    }
    ManifestCheck checked = checkManifest(browser, manifest);
    add(checked.findings);
    if (!checked.host) continue;
    const auto way = std::make_pair(pathText(*checked.host), chromiumBased(browser));
    auto [at, first] = probed.try_emplace(way);
    if (first) at->second = probeHost(browser, *checked.host, manifest);
    const HostProbe& probe = at->second;
    const std::string hostPath = pathText(*checked.host);
    const auto [place, newHost] = hostAt.try_emplace(hostPath, seen.size());
    if (newHost) seen.push_back(installedHost(*checked.host, probe));
    seen[place->second].startedBy.push_back(browser);
    checks.push_back(hostProgramCheck(browser, *checked.host, seen[place->second].file));
    for (Check finding : probe.findings) {
      finding.browser = browser;
      checks.push_back(std::move(finding));
    }
    if (probe.answered && !compared) {
      add(comparePorts(ports, probe.outs, probe.ins,
                       machineBits(seen[place->second].file.machine)));
      compared = true;
    }
    const std::filesystem::path folder = installationFolder(*checked.host);
    if (!installations.insert(pathText(folder)).second) continue;
    add(checkInstalledVersions(folder));
    // The host of the other bitness, started the same way and asked for its ports.
    const std::optional<std::filesystem::path> other = otherHost(*checked.host);
    if (!other || !probe.answered) continue;
    const std::size_t started = place->second;
    const auto [otherPlace, otherNew] = hostAt.try_emplace(pathText(*other), seen.size());
    if (otherNew) seen.push_back(installedHost(*other, probeHost(browser, *other, manifest)));
    add(compareHosts(seen[started], seen[otherPlace->second]));
  }
  if (hosts != nullptr) *hosts = std::move(seen);
  return checks;
}

}  // namespace melvix
