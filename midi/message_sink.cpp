#include "midi/message_sink.h"

#include <atomic>

namespace {

// Read by the input callback's and the watcher's threads; atomic so that a test may swap it.
std::atomic<MessageSink*> theSink{nullptr};

}  // namespace

void setMessageSink(MessageSink* sink) { theSink.store(sink); }

void postMessage(MessageKind kind, std::string text) {
  if (MessageSink* sink = theSink.load()) sink->Post(kind, std::move(text));
}
