#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/text_encoding.h"

namespace {

// The name as the open operations take it: a zero-terminated string, so it ends at its first NUL
// (which a request may carry as \u0000).
WideString portName(const RequestItem& item) {
  WideString name = utf8ToWide(item.text);
  return name.substr(0, name.find(u'\0'));
}

}  // namespace

void handleOpenOut(const Request& request, CMidi& midi) {
  if (request.size() < 2) return;
  WideString name = midi.OpenOut(portName(request[1]));
  writeReply("[\"openout\"," + quoteJson(wideToUtf8(name)) + "]");
}

void handleOpenIn(const Request& request, CMidi& midi) {
  if (request.size() < 2) return;
  WideString name = midi.OpenIn(portName(request[1]), 0);
  writeReply("[\"openin\"," + quoteJson(wideToUtf8(name)) + "]");
}

void handlePlay(const Request& request, CMidi& midi) {
  ByteString bytes;
  bytes.reserve(request.size() - 1);
  // A string item counts as 0; a number above 255 keeps its low 8 bits.
  for (std::size_t i = 1; i < request.size(); ++i) {
    bytes.push_back(static_cast<char>(request[i].number & 0xFF));
  }
  midi.Play(bytes);
}

void handlePlay(RequestScanner& rest, CMidi& midi) {
  // With no output port the bytes would go nowhere, so they need not even be read.
  if (!midi.HasOut()) return;
  ByteString bytes;
  rest.takeByteValues(bytes);
  midi.Play(bytes);
}

void handleCloseOut(const Request&, CMidi& midi) { midi.CloseOut(); }

void handleCloseIn(const Request&, CMidi& midi) { midi.CloseIn(); }
