#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/text_encoding.h"

void handleVersion(const Request&, CMidi&) {
  writeReply("[\"version\"," + quoteJson(kHostVersion) + "]");
}
