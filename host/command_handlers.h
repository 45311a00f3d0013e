// The host's commands. Each runs on the main thread, is given the whole request (the command name
// included) and writes at most one reply frame.
#pragma once

#include "host/request_tokenizer.h"
#include "midi/cmidi.h"

// The version the host reports to the browser.
inline constexpr const char* kHostVersion = "1.5";

void handleVersion(const Request& request, CMidi& midi);
void handleRefresh(const Request& request, CMidi& midi);
void handleOpenOut(const Request& request, CMidi& midi);
void handleOpenIn(const Request& request, CMidi& midi);
void handlePlay(const Request& request, CMidi& midi);
void handleCloseOut(const Request& request, CMidi& midi);
void handleCloseIn(const Request& request, CMidi& midi);
void handleWatch(const Request& request, CMidi& midi);
void handleUnwatch(const Request& request, CMidi& midi);

// Runs the command that the first item names; an unknown command or a number does nothing.
void dispatchRequest(const Request& request, CMidi& midi);

// The request loop: runs each request text that `next` gives (it returns false when there are no
// more) in turn. The host's input is standard input, whose end ends the process inside `next`;
// the fuzz target feeds the loop from memory.
template <typename NextText>
void serveRequests(NextText next, CMidi& midi) {
  std::string text;
  while (next(text)) dispatchRequest(tokenizeRequest(text), midi);
}
