// What each browser finds on its way to the host: the whole walk, from the registry to the host's
// replies, so that a test can take it with a made-up registry and hosts of its own.
#pragma once

#include <vector>

#include "check/findings.h"
#include "check/port_check.h"
#include "check/registry.h"

namespace melvix {

// Each browser in turn: its policies, the key it takes the manifest from (or why none), the keys
// that key shadows, the manifest, and the host started as the browser starts it. A host that
// several browsers start alike is started once, and its findings are each of those browsers'. The
// first host that answers has its port list compared with `ports`. For each installation a host
// belongs to: whether its programs are of one version, and, where it has a second host (the other
// bitness's), which ports only one of the two sees. `hosts`, when given, gets every host found.
std::vector<Check> checkBrowsers(Registry& registry, const PortScan& ports,
                                 std::vector<InstalledHost>* hosts = nullptr);

}  // namespace melvix
