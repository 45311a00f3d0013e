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
