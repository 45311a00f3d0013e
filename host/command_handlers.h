// The host's commands. Each runs on the main thread, is given the whole request (the command name
// included) and writes at most one reply frame.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/request_tokenizer.h"
#include "midi/cmidi.h"

// The version the host reports to the browser.
inline constexpr const char* kHostVersion = "1.5";

void handleVersion(const Request& request, CMidi& midi);
void handleRefresh(const Request& request, CMidi& midi);
void handleOpenOut(const Request& request, CMidi& midi);
void handleOpenIn(const Request& request, CMidi& midi);
void handlePlay(const Request& request, CMidi& midi);
// "play" with the items after the command still to be read from `rest`; the same as the form above.
void handlePlay(RequestScanner& rest, CMidi& midi);
void handleCloseOut(const Request& request, CMidi& midi);
void handleCloseIn(const Request& request, CMidi& midi);
void handleWatch(const Request& request, CMidi& midi);
void handleUnwatch(const Request& request, CMidi& midi);

// Runs the command that the first item names; an unknown command or a number does nothing.
void dispatchRequest(const Request& request, CMidi& midi);

// One request of the request loop: the same as dispatchRequest(tokenizeRequest(text)), with
// `scratch` (whose memory is reused from one request to the next) holding the items.
void handleRequest(std::string_view text, Request& scratch, CMidi& midi);

// A request text longer than this does not keep its memory for the next one.
inline constexpr std::size_t kTextKept = 64 * 1024;

// The request loop: runs each request text that `next(text, storage)` gives in turn (it returns
// false when there are no more); `text` views either the reader's buffer or `storage`, and stays
// valid until the next call. The host's input is standard input, whose end ends the process
// inside `next`; the fuzz target feeds the loop from memory.
template <typename NextText>
void serveRequests(NextText next, CMidi& midi) {
  std::string storage;
  Request scratch;
  std::string_view text;
  while (next(text, storage)) {
    handleRequest(text, scratch, midi);
    if (storage.capacity() > kTextKept) std::string().swap(storage);
  }
}
