#include "host/command_handlers.h"

namespace melvix {

// Neither request has a reply.

Reply handleWatch(const Request&, CMidi& midi) {
  for (WatchKind kind : kWatchKinds) midi.SetWatch(kind, true);
  return std::nullopt;
}

Reply handleUnwatch(const Request&, CMidi& midi) {
  for (WatchKind kind : kWatchKinds) midi.SetWatch(kind, false);
  return std::nullopt;
}

}  // namespace melvix
