#include <cstdint>
#include <string>

#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/text_encoding.h"

namespace {

// Appends the ports of one direction, from index 0 up to the first that has no description.
template <typename Describe>
void appendPorts(std::string& reply, Describe describe) {
  for (std::uint32_t i = 0;; ++i) {
    PortInfo info = describe(i);
    if (info.size() < 3) return;
    reply += i == 0 ? "{" : ",{";
    reply += "\"name\":" + quoteJson(wideToUtf8(info[0]));
    reply += ",\"manufacturer\":" + quoteJson(wideToUtf8(info[1]));
    reply += ",\"version\":" + quoteJson(wideToUtf8(info[2]));
    reply += "}";
  }
}

}  // namespace

void handleRefresh(const Request&, CMidi& midi) {
  std::string reply = "[\"refresh\",{\"ins\":[";
  appendPorts(reply, [&](std::uint32_t i) { return midi.InInfo(i); });
  reply += "],\"outs\":[";
  appendPorts(reply, [&](std::uint32_t i) { return midi.OutInfo(i); });
  reply += "]}]";
  writeReply(std::move(reply));
}
