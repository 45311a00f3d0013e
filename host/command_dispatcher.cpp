#include <string_view>

#include "host/command_handlers.h"

namespace melvix {

namespace {

struct Command {
  std::string_view name;
  Reply (*handler)(const Request&, CMidi&);
};

const Command kCommands[] = {
    {"version", handleVersion}, {"refresh", handleRefresh}, {"openout", handleOpenOut},
    {"openin", handleOpenIn},   {"play", handlePlay},       {"closeout", handleCloseOut},
    {"closein", handleCloseIn}, {"watch", handleWatch},     {"unwatch", handleUnwatch},
};

// A request of more items than this does not keep their memory for the next one.
constexpr std::size_t kItemsKept = 64;

}  // namespace

Reply dispatchRequest(const Request& request, CMidi& midi) {
  if (request.empty()) return std::nullopt;
  // Whole, case-sensitive, byte-for-byte: a name with a NUL or a trailing blank matches nothing.
  const std::string_view first = request.front().text;
  for (const Command& command : kCommands) {
    if (first == command.name) return command.handler(request, midi);
  }
  return std::nullopt;
}

Reply handleRequest(std::string_view text, Request& scratch, CMidi& midi, void (*beforePlay)(void*),
                    void* context) {
  RequestScanner scanner(text);
  if (scratch.empty()) scratch.emplace_back();
  if (!scanner.next(scratch.front())) return std::nullopt;
  // "play" takes its bytes straight from the scanner: a play of a megabyte of text would
  // otherwise first become a quarter of a million items.
  if (std::string_view(scratch.front().text) == "play") {
    if (beforePlay != nullptr) beforePlay(context);
    return handlePlay(scanner, midi);
  }
  tokenizeRest(scanner, scratch, 1);
  Reply reply = dispatchRequest(scratch, midi);
  if (scratch.capacity() > kItemsKept) Request().swap(scratch);
  return reply;
}

}  // namespace melvix
