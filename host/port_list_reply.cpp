#include <cstdint>
#include <string>

#include "host/command_handlers.h"
#include "host/text_encoding.h"

namespace {

// Appends the ports of one direction, from index 0 up to the first that has no description.
template <typename Describe>
void appendPorts(std::string& reply, Describe describe) {
  for (std::uint32_t i = 0;; ++i) {
    const PortLookup info = describe(i);
    if (!info) return;
    reply += i == 0 ? "{" : ",{";
    reply += "\"name\":" + quoteJson(wideToUtf8(info->name));
    reply += ",\"manufacturer\":" + quoteJson(wideToUtf8(info->manufacturer));
    reply += ",\"version\":" + quoteJson(wideToUtf8(info->version));
    reply += "}";
  }
}

}  // namespace

Reply handleRefresh(const Request&, CMidi& midi) {
  std::string reply = "[\"refresh\",{\"ins\":[";
  appendPorts(reply, [&](std::uint32_t i) { return midi.InInfo(i); });
  reply += "],\"outs\":[";
  appendPorts(reply, [&](std::uint32_t i) { return midi.OutInfo(i); });
  reply += "]}]";
  return reply;
}
