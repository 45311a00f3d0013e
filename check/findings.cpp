#include "check/findings.h"

#include <iterator>

namespace melvix {

const char* browserId(Browser browser) {
  switch (browser) {
    case Browser::kChrome:
      return "chrome";
    case Browser::kChromium:
      return "chromium";
    case Browser::kEdge:
      return "edge";
    case Browser::kFirefox:
      break;
  }
  return "firefox";
}

const char* browserName(Browser browser) {
  switch (browser) {
    case Browser::kChrome:
      return "Google Chrome";
    case Browser::kChromium:
      return "Chromium";
    case Browser::kEdge:
      return "Microsoft Edge";
    case Browser::kFirefox:
      break;
  }
  return "Firefox";
}

const char* statusId(Status status) {
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kProblem:
      return "problem";
    case Status::kWarning:
      break;
  }
  return "warning";
}

const char* portStateId(PortState state) {
  switch (state) {
    case PortState::kOk:
      return "ok";
    case PortState::kInUse:
      return "in use";
    case PortState::kFailed:
      break;
  }
  return "failed";
}

namespace {

constexpr CheckKind kKinds[] = {
    {CheckId::kRegistrationFound, "registration.found", Status::kOk,
     "the browser takes the host's manifest from a registry key"},
    {CheckId::kRegistrationMissing, "registration.missing", Status::kProblem,
     "no registry key the browser reads names the host"},
    {CheckId::kRegistrationShadowed, "registration.shadowed", Status::kWarning,
     "a key later in the browser's order names a manifest too, which the browser never reads"},
    {CheckId::kPolicyUserLevelHosts, "policy.user_level_hosts", Status::kProblem,
     "the host is installed for this user only, and a policy makes the browser ignore such "
     "hosts"},
    {CheckId::kPolicyBlocked, "policy.blocked", Status::kProblem,
     "an administrator's policy blocks the host"},
    {CheckId::kManifestUnreadable, "manifest.unreadable", Status::kProblem,
     "the manifest the key names cannot be read"},
    {CheckId::kManifestByteOrderMark, "manifest.byte_order_mark", Status::kWarning,
     "the manifest begins with a byte-order mark, which some browser versions refuse"},
    {CheckId::kManifestInvalidJson, "manifest.invalid_json", Status::kProblem,
     "the manifest is not a valid JSON object"},
    {CheckId::kManifestWrongName, "manifest.wrong_name", Status::kProblem,
     "the manifest names another host"},
    {CheckId::kManifestWrongType, "manifest.wrong_type", Status::kProblem,
     "the manifest's type is not \"stdio\""},
    {CheckId::kManifestNoDescription, "manifest.no_description", Status::kProblem,
     "the manifest has no description, which Chromium's browsers require"},
    {CheckId::kManifestExtensionNotAllowed, "manifest.extension_not_allowed", Status::kProblem,
     "the manifest does not allow the Melvix extension or add-on"},
    {CheckId::kManifestNoPath, "manifest.no_path", Status::kProblem,
     "the manifest names no host program"},
    {CheckId::kManifestRelativePath, "manifest.relative_path", Status::kWarning,
     "the manifest names the host by a path relative to its own folder"},
    {CheckId::kHostMissing, "host.missing", Status::kProblem,
     "the host program the manifest names is missing"},
    {CheckId::kHostNotStarted, "host.not_started", Status::kProblem,
     "the host program cannot be started"},
    {CheckId::kHostNotAFrame, "host.not_a_frame", Status::kProblem,
     "the host wrote something that is not a native-messaging frame"},
    {CheckId::kHostNoReply, "host.no_reply", Status::kProblem,
     "the host ended before it answered [\"version\"] and [\"refresh\"]"},
    {CheckId::kHostStalled, "host.stalled", Status::kProblem,
     "the host did not answer [\"version\"] and [\"refresh\"] in time"},
    {CheckId::kHostForeignReply, "host.foreign_reply", Status::kProblem,
     "the host answered, but not as the Melvix host answers"},
    {CheckId::kHostNotEnded, "host.not_ended", Status::kProblem,
     "the host did not end within a second of the end of its input"},
    {CheckId::kHostExitStatus, "host.exit_status", Status::kProblem,
     "the host ended with a status other than 0"},
    {CheckId::kHostOk, "host.ok", Status::kOk,
     "the host starts, answers and ends as the browser expects"},
    {CheckId::kHostProgram, "host.program", Status::kOk,
     "which host program the browser starts: its path, its processor and its version"},
    {CheckId::kInstallSameVersion, "install.same_version", Status::kOk,
     "the installation's programs are all of one version"},
    {CheckId::kInstallMixedVersions, "install.mixed_versions", Status::kProblem,
     "the installation's programs are not all of one version"},
    {CheckId::kHostsSame, "hosts.same", Status::kOk,
     "the installation's x86-64 and 32-bit hosts see the same MIDI ports"},
    {CheckId::kHostsDiffer, "hosts.differ", Status::kWarning,
     "the installation's x86-64 and 32-bit hosts see different MIDI ports"},
    {CheckId::kHostsOtherNoAnswer, "hosts.other_no_answer", Status::kWarning,
     "the installation's host that the browsers do not start did not answer [\"refresh\"]"},
    {CheckId::kMidiStack, "midi.stack", Status::kOk,
     "which MIDI stack WinMM uses, and how it names ports"},
    {CheckId::kMidiStackNoService, "midi.stack.no_service", Status::kProblem,
     "Windows MIDI Services is in use, but its service midisrv does not run"},
    {CheckId::kMidiStackNo32Bit, "midi.stack.no_32bit", Status::kProblem,
     "Windows MIDI Services is registered for 64-bit programs but not for 32-bit ones"},
    {CheckId::kPortInUse, "port.in_use", Status::kProblem,
     "a MIDI port is in use by another program"},
    {CheckId::kPortFailed, "port.failed", Status::kProblem,
     "a MIDI port cannot be opened, for another reason than being in use"},
    {CheckId::kPortsSame, "ports.same", Status::kOk,
     "the host lists the same MIDI ports as Windows"},
    {CheckId::kPortsDiffer, "ports.differ", Status::kWarning,
     "the host lists other MIDI ports than Windows"},
};

// checkKind() finds a kind by its place: a kind out of place would give a finding another's name.
constexpr bool inOrderOfIds() {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    if (static_cast<std::size_t>(kKinds[i].id) != i) return false;
  }
  return std::size(kKinds) == static_cast<std::size_t>(CheckId::kPortsDiffer) + 1;
}
static_assert(inOrderOfIds(), "kKinds lists every CheckId once, in the enum's order");

}  // namespace

const std::vector<CheckKind>& checkKinds() {
  static const std::vector<CheckKind> kinds(std::begin(kKinds), std::end(kKinds));
  return kinds;
}

const CheckKind& checkKind(CheckId id) { return kKinds[static_cast<std::size_t>(id)]; }

bool Report::Ok() const {
  for (const Check& check : checks) {
    if (check.status() == Status::kProblem) return false;
  }
  return true;
}

}  // namespace melvix
