#include <cstdint>
#include <string>

#include "host/command_handlers.h"
#include "host/text_encoding.h"

namespace melvix {

namespace {

// Appends the ports of one direction in id order, leaving out the ids that have no description:
// the ports after such an id are no less there.
template <typename Describe>
void appendPorts(std::string& reply, std::uint32_t count, Describe describe) {
  bool first = true;
  for (std::uint32_t i = 0; i < count; ++i) {
    const PortLookup info = describe(i);
    if (!info) continue;
    reply += first ? "{" : ",{";
    first = false;
    reply += "\"name\":" + quoteJson(wideToUtf8(info->name));
    reply += ",\"manufacturer\":" + quoteJson(wideToUtf8(info->manufacturer));
    reply += ",\"version\":" + quoteJson(wideToUtf8(info->version));
    reply += "}";
  }
}

}  // namespace

Reply handleRefresh(const Request&, CMidi& midi) {
  std::string reply = "[\"refresh\",{\"ins\":[";
  appendPorts(reply, midi.InCount(), [&](std::uint32_t i) { return midi.InInfo(i); });
  reply += "],\"outs\":[";
  appendPorts(reply, midi.OutCount(), [&](std::uint32_t i) { return midi.OutInfo(i); });
  reply += "]}]";
  return reply;
}

}  // namespace melvix
