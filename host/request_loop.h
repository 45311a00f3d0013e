// The request loop: each request read in turn, its command run, its reply sent.
#pragma once

#include <string>
#include <string_view>

#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/trace_file.h"
#include "midi/cmidi.h"

namespace melvix {

// A request text longer than this does not keep its memory for the next one.
inline constexpr std::size_t kTextKept = 64 * 1024;

// Serves the requests that `requests` gives until it has no more (the end of the host's input);
// `requests` has `bool next(std::string_view& text, std::string& storage)` and
// `bool holdsWholeFrame() const`, as FrameReader does. Replies go out through `frames`: those to
// requests that came together leave in one write, before the loop waits for more input. With a
// trace on, each request and reply is traced.
template <typename Requests>
void serveRequests(Requests& requests, FrameQueue& frames, CMidi& midi, TraceLog* trace = nullptr) {
  std::string storage;
  Request scratch;
  std::string_view text;
  for (;;) {
    if (!requests.holdsWholeFrame()) frames.SendHeldReplies();
    if (!requests.next(text, storage)) return;
    if (trace != nullptr) trace->Write("request " + traceText(text));
    const auto sendHeld = [](void* queue) { static_cast<FrameQueue*>(queue)->SendHeldReplies(); };
    if (Reply reply = handleRequest(text, scratch, midi, sendHeld, &frames)) {
      if (trace != nullptr) trace->Write("reply " + traceText(*reply));
      // While the next request has come already, the reply may wait to go out with its reply.
      frames.PostReply(std::move(*reply), requests.holdsWholeFrame());
    }
    if (storage.capacity() > kTextKept) std::string().swap(storage);
  }
}

}  // namespace melvix
