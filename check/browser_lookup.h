// Where each browser looks for a native-messaging host on Windows, in the order it looks, and the
// administrators' policies that stop it. Taken from the browsers' sources (Chromium's
// native_process_launcher_win.cc and launch_context_win.cc, policy_loader_win.cc and
// chrome_messaging_delegate.cc; Firefox's NativeManifests.sys.mjs) and Microsoft's documentation
// for Edge, whose code is not public.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/findings.h"
#include "check/registry.h"

namespace melvix {

// The host's name, as browsers and manifests know it.
inline constexpr char kHostName[] = "com.tarnwell.melvix_midi";

// A registry key that may name the host's manifest in its default value.
struct HostKey {
  Hive hive = Hive::kCurrentUser;
  View view = View::kShared;
  WideString key;
};
std::string hostKeyText(const HostKey& place);

// Every key `browser` tries, in its order. A browser stops at the first key whose default value it
// can read, whatever the manifest it names is like.
std::vector<HostKey> searchOrder(Browser browser);

// What an administrator's policies say about the host, for one browser.
struct PolicyState {
  bool userLevelHostsAllowed = true;
  std::string userLevelPolicy;  // where the policy that forbids them is set, when one is
  bool blocked = false;
  std::string blockedBy;  // where the blocking list is, when the host is blocked
};
PolicyState readPolicies(Browser browser, Registry& registry);

// Where a browser finds the host: the key it takes the manifest from, or why it finds none.
struct Registration {
  PolicyState policy;
  std::optional<HostKey> used;
  WideString manifest;  // the default value of `used`, expanded where the browser expands it
  // Keys the browser does not look at because a policy forbids per-user hosts, but which hold
  // a manifest path: a per-user install the browser will not see.
  std::vector<HostKey> ignoredPerUser;
  // Keys after `used` that also name a manifest, which the browser never reaches.
  std::vector<HostKey> shadowed;
  // Keys skipped because they hold a value the browser does not read (Firefox: REG_EXPAND_SZ).
  std::vector<HostKey> unreadable;
};
Registration findRegistration(Browser browser, Registry& registry);

}  // namespace melvix
