#include "host/command_handlers.h"
#include "host/frame_writer.h"
#include "host/text_encoding.h"

void handleOpenOut(const Request& request, CMidi& midi) {
  if (request.size() < 2) return;
  WideString name = midi.OpenOut(utf8ToWide(request[1].text));
  writeMessage("[\"openout\"," + quoteJson(wideToUtf8(name)) + "]");
}

void handleOpenIn(const Request& request, CMidi& midi) {
  if (request.size() < 2) return;
  WideString name = midi.OpenIn(utf8ToWide(request[1].text), 0);
  writeMessage("[\"openin\"," + quoteJson(wideToUtf8(name)) + "]");
}

void handlePlay(const Request& request, CMidi& midi) {
  ByteString bytes;
  bytes.reserve(request.size() - 1);
  // A string item counts as 0; a number above 255 keeps its low 8 bits.
  for (std::size_t i = 1; i < request.size(); ++i) {
    bytes.push_back(static_cast<char>(request[i].number & 0xFF));
  }
  if (CMidiOut* out = midi.Out()) out->SendRaw(bytes);
}

void handleCloseOut(const Request&, CMidi& midi) { midi.CloseOut(); }

void handleCloseIn(const Request&, CMidi& midi) { midi.CloseIn(); }
