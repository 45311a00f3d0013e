#include <cstring>

#include "host/command_handlers.h"

namespace {

struct Command {
  const char* name;
  void (*handler)(const Request&, CMidi&);
};

const Command kCommands[] = {
    {"version", handleVersion}, {"refresh", handleRefresh}, {"openout", handleOpenOut},
    {"openin", handleOpenIn},   {"play", handlePlay},       {"closeout", handleCloseOut},
    {"closein", handleCloseIn}, {"watch", handleWatch},     {"unwatch", handleUnwatch},
};

}  // namespace

void dispatchRequest(const Request& request, CMidi& midi) {
  if (request.empty()) return;
  // Whole, case-sensitive, byte-for-byte: a name with a NUL or a trailing blank matches nothing.
  const std::string& first = request.front().text;
  for (const Command& command : kCommands) {
    if (first == command.name) {
      command.handler(request, midi);
      return;
    }
  }
}
