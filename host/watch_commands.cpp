#include "host/command_handlers.h"

// Neither request has a reply.

void handleWatch(const Request&, CMidi& midi) {
  for (WatchKind kind : kWatchKinds) midi.SetWatch(kind, true);
}

void handleUnwatch(const Request&, CMidi& midi) {
  for (WatchKind kind : kWatchKinds) midi.SetWatch(kind, false);
}
