#include <string_view>

#include "host/command_handlers.h"
#include "host/frame_writer.h"
#include "host/text_encoding.h"

void handleVersion(const Request&, CMidi&) {
  // The same text every time: made once.
  static const std::string reply = "[\"version\"," + quoteJson(kHostVersion) + "]";
  writeMessage(std::string_view(reply));
}
