// melvixplay's command reader on any text: it sends exactly the messages the text holds in full,
// never one whose numbers did not all arrive, and holds no more memory than the text could fill.
#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "play/command_stream.h"
#include "tests/fuzz/fuzz_check.h"

using namespace melvix;

namespace {

struct Message {
  bool isLong = false;
  DWORD value = 0;
  std::vector<char> bytes;
  bool operator==(const Message& other) const {
    return isLong == other.isLong && value == other.value && bytes == other.bytes;
  }
};

// The largest single allocation made while `measuring` is set; the hooks run on every thread, but
// only this target's one thread allocates while it is set.
bool measuring = false;
std::size_t largest = 0;

void onMalloc(const volatile void*, std::size_t size) {
  if (measuring && size > largest) largest = size;
}
void onFree(const volatile void*) {}

class RecordingSink : public PlayedMessages {
 public:
  void shortMessage(DWORD message) override {
    measuring = false;
    messages.push_back(Message{false, message, {}});
    measuring = true;
  }
  void longMessage(std::vector<char>& bytes) override {
    measuring = false;
    messages.push_back(Message{true, 0, bytes});
    measuring = true;
  }
  std::vector<Message> messages;
};

// The same text read as the C library's scanf reads "%c" and "%x" (its documented behaviour:
// leading white space skipped, an optional sign, an optional 0x after a leading 0, then hex
// digits; the first character that does not fit is left for the next read).
class TextModel {
 public:
  explicit TextModel(const std::string& text) : text_(text) {}

  std::vector<Message> play() {
    std::vector<Message> messages;
    int command;
    while ((command = get()) != EOF) {
      if (command == 'm') {
        DWORD value = 0;
        if (hex(value)) messages.push_back(Message{false, value, {}});
      } else if (command == 'l') {
        DWORD count = 0;
        if (!hex(count)) continue;
        Message message{true, 0, {}};
        DWORD value = 0;
        bool whole = true;
        for (DWORD i = 0; whole && i < count; ++i) {
          whole = hex(value);
          if (whole) message.bytes.push_back(static_cast<char>(value & 0xFF));
        }
        if (whole) messages.push_back(std::move(message));
      }
    }
    return messages;
  }

 private:
  int get() { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_++]) : EOF; }
  void unget(int c) {
    if (c != EOF) --at_;
  }
  static bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
  static bool isHex(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  bool hex(DWORD& value) {
    int c;
    do {
      c = get();
    } while (isSpace(c));
    if (c == EOF) return false;
    std::string number;
    if (c == '+' || c == '-') {
      number += static_cast<char>(c);
      c = get();
    }
    if (c == '0') {
      number += '0';
      c = get();
      if (c == 'x' || c == 'X') c = get();
    }
    while (isHex(c)) {
      number += static_cast<char>(c);
      c = get();
    }
    unget(c);
    if (number.empty() || number == "+" || number == "-") return false;
    value = static_cast<DWORD>(std::strtoul(number.c_str(), nullptr, 16));
    return true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  RecordingSink sink;
  if (size > 0) {
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), size, "r");
    if (in == nullptr) return 0;
    // The stream's buffer is ours, so that every allocation measured is the reader's.
    static char buffer[4096];
    std::setvbuf(in, buffer, _IOFBF, sizeof buffer);
    largest = 0;
    measuring = true;
    playCommands(in, sink);
    measuring = false;
    std::fclose(in);
    // A long message's bytes take at least two characters each; the vector that holds them at
    // most doubles, as does the C library's buffer for one long number.
    require(largest <= 2 * size + 64, "holds no more than the bytes that arrived");
  }
  require(sink.messages == TextModel(text).play(),
          "sends exactly the messages read in full, nothing stale");
  return 0;
}
