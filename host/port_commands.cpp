#include "host/command_handlers.h"
#include "host/text_encoding.h"

namespace melvix {

namespace {

// The name as the open operations take it: a zero-terminated string, so it ends at its first NUL
// (which a request may carry as \u0000).
WideString portName(const RequestItem& item) {
  WideString name = utf8ToWide(item.text);
  return name.substr(0, name.find(u'\0'));
}

}  // namespace

Reply handleOpenOut(const Request& request, CMidi& midi) {
  if (request.size() < 2) return std::nullopt;
  WideString name = midi.OpenOut(portName(request[1]));
  return "[\"openout\"," + quoteJson(wideToUtf8(name)) + "]";
}

Reply handleOpenIn(const Request& request, CMidi& midi) {
  if (request.size() < 2) return std::nullopt;
  WideString name = midi.OpenIn(portName(request[1]), 0);
  return "[\"openin\"," + quoteJson(wideToUtf8(name)) + "]";
}

Reply handlePlay(const Request& request, CMidi& midi) {
  ByteString bytes;
  bytes.reserve(request.size() - 1);
  // A string item counts as 0; a number above 255 keeps its low 8 bits.
  for (std::size_t i = 1; i < request.size(); ++i) {
    bytes.push_back(static_cast<char>(request[i].number & 0xFF));
  }
  midi.Play(bytes);
  return std::nullopt;
}

Reply handlePlay(RequestScanner& rest, CMidi& midi) {
  // With no output port the bytes would go nowhere, so they need not even be read.
  if (!midi.HasOut()) return std::nullopt;
  ByteString bytes;
  rest.takeByteValues(bytes);
  midi.Play(bytes);
  return std::nullopt;
}

Reply handleCloseOut(const Request&, CMidi& midi) {
  midi.CloseOut();
  return std::nullopt;
}

Reply handleCloseIn(const Request&, CMidi& midi) {
  midi.CloseIn();
  return std::nullopt;
}

}  // namespace melvix
