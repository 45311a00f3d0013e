#include "host/command_handlers.h"
#include "host/frame_writer.h"
#include "host/text_encoding.h"

void handleVersion(const Request&, CMidi&) {
  writeMessage("[\"version\"," + quoteJson(kHostVersion) + "]");
}
