#include <string>

#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/text_encoding.h"

void handleVersion(const Request&, CMidi&) {
  // The same text every time: made once.
  static const std::string reply = "[\"version\"," + quoteJson(kHostVersion) + "]";
  writeReply(reply);
}
