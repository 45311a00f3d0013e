// The host's commands. Each runs on the main thread, is given the whole request (the command name
// included) and returns its reply, or nothing: only "version", "refresh", "openout" and "openin"
// are answered.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/request_tokenizer.h"
#include "midi/cmidi.h"

namespace melvix {

// The version the host reports to the browser.
inline constexpr const char* kHostVersion = "1.5";

// A command's reply text, or nothing.
using Reply = std::optional<std::string>;

Reply handleVersion(const Request& request, CMidi& midi);
Reply handleRefresh(const Request& request, CMidi& midi);
Reply handleOpenOut(const Request& request, CMidi& midi);
Reply handleOpenIn(const Request& request, CMidi& midi);
Reply handlePlay(const Request& request, CMidi& midi);
// "play" with the items after the command still to be read from `rest`; the same as the form above.
Reply handlePlay(RequestScanner& rest, CMidi& midi);
Reply handleCloseOut(const Request& request, CMidi& midi);
Reply handleCloseIn(const Request& request, CMidi& midi);
Reply handleWatch(const Request& request, CMidi& midi);
Reply handleUnwatch(const Request& request, CMidi& midi);

// Runs the command that the first item names; an unknown command or a number does nothing.
Reply dispatchRequest(const Request& request, CMidi& midi);

// One request of the request loop: the same as dispatchRequest(tokenizeRequest(text)), with
// `scratch` (whose memory is reused from one request to the next) holding the items. Before a
// "play", which may wait for the driver (a long message it keeps for seconds), `beforePlay` runs
// with `context`: replies held back for a batch must not wait with it.
Reply handleRequest(std::string_view text, Request& scratch, CMidi& midi,
                    void (*beforePlay)(void*) = nullptr, void* context = nullptr);

}  // namespace melvix
