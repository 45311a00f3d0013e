#include <string>

#include "host/command_handlers.h"
#include "host/text_encoding.h"

namespace melvix {

Reply handleVersion(const Request&, CMidi&) {
  // The same text every time: made once.
  static const std::string reply = "[\"version\"," + quoteJson(kHostVersion) + "]";
  return reply;
}

}  // namespace melvix
