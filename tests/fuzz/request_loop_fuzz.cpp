// The host's whole request loop on a raw byte stream: frames read, tokenized and dispatched against
// the simulated devices, which change between requests as the fuzzer chooses (ports plugged,
// unplugged and failing, input arriving, an input pouring data in). Every frame the host writes
// must be whole and valid JSON of a kind it sends, and each request that has a reply gets exactly
// one, in order.
//
// Input: byte 0 is the count n of the bytes after it that choose the device changes; the rest of
// the input is what the browser sends.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/command_handlers.h"
#include "host/frame_queue.h"
#include "host/frame_reader.h"
#include "host/frame_writer.h"
#include "host/request_loop.h"
#include "host/request_tokenizer.h"
#include "midi/cmidi_win32.h"
#include "midi/input_callback.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_world.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/json_check.h"

using namespace melvix;

namespace {

using sim::Direction;

// The names the devices get: plain ones, the embedded defaults, a name that needs escapes, a name
// cut in the middle of a surrogate pair, and an empty one.
const std::u16string kNames[] = {
    u"Keys", u"Melvix Synth", u"Melvix Loopback", u"Q\"<\\\U0001F3B9\n", u"Cut \xD83C", u"",
};

const sim::Fault kFaults[] = {
    sim::Fault::kGetDevCaps, sim::Fault::kOpen,      sim::Fault::kPrepareHeader,
    sim::Fault::kLongMsg,    sim::Fault::kShortMsg,  sim::Fault::kStillPlaying,
    sim::Fault::kStart,      sim::Fault::kAddBuffer,
};

const char* const kFloodModes[] = {"off", "short", "sysex", "mixed"};

// The bytes that choose the device changes, taken in order; 0 once they run out.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t next32() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8)
      value |= static_cast<std::uint32_t>(next()) << shift;
    return value;
  }
  std::vector<BYTE> bytes(std::size_t count) {
    std::vector<BYTE> out;
    while (out.size() < count && !empty()) out.push_back(next());
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// One change of the device set, or of what the devices do: a byte for what, a byte for the name
// (low 3 bits), the direction (bit 7) and a flag (bit 6), then what that change needs.
void changeDevices(Choices& choice, bool& flooding) {
  if (choice.empty()) return;
  const int what = choice.next() % 11;
  const std::uint8_t target = choice.next();
  const std::u16string& name = kNames[(target & 7) % std::size(kNames)];
  const Direction direction = (target & 0x80) != 0 ? Direction::kOut : Direction::kIn;
  const bool flag = (target & 0x40) != 0;
  switch (what) {
    case 0:
    case 1: {
      sim::DeviceSpec profile;
      profile.name = name;
      profile.loopback = direction == Direction::kOut && flag;
      sim::addDevice(direction, profile);
      break;
    }
    case 2:
      sim::removeDevice(direction, name);
      break;
    case 3: {
      const std::uint8_t how = choice.next();
      const sim::Fault fault = kFaults[how % std::size(kFaults)];
      int times = (how >> 3) % 5 - 1;
      // An output that keeps its buffer for ever costs every long message the host's whole wait
      // before it gives up (a third of a second at least); here it gives the buffer back sooner, so
      // the fuzzer keeps its pace.
      if (fault == sim::Fault::kStillPlaying && times < 0) times = 3;
      sim::setFault(direction, name, fault, times);
      break;
    }
    case 4:
    case 5:
      sim::deliverShort(name, choice.next32());
      break;
    case 6:
      sim::deliverSysex(name, choice.bytes(choice.next()));
      break;
    case 7:
      sim::deliverError(name, choice.next32());
      break;
    case 8:
      sim::deliverLongError(name, choice.bytes(choice.next() % 9));
      break;
    case 9: {
      const std::uint8_t mode = choice.next() % std::size(kFloodModes);
      sim::applyControlLine("flood " + sim::quoted(name) + " " + kFloodModes[mode]);
      flooding = flooding || mode != 0;
      break;
    }
    default:
      sim::setCallbacksOnCallingThread(flag);
      break;
  }
  // Input reaches the host before its next request, so that what it writes is not left to chance;
  // a flood is never drained.
  if (what >= 4 && what <= 8 && !flooding) sim::drainInput();
}

// The reply a request gets, by the first bytes of its text; empty when it gets none.
std::string expectedReply(const std::string& text) {
  const Request request = tokenizeRequest(text);
  if (request.empty()) return "";
  const std::string& command = request[0].text;
  if (command == "version" || command == "refresh") return "[\"" + command + "\",";
  if ((command == "openout" || command == "openin") && request.size() >= 2) {
    return "[\"" + command + "\",";
  }
  return "";
}

bool startsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No control directory: the fuzzer changes the devices itself, and nothing goes to files.
  unsetenv("MELVIX_SIM_DIR");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t choices = std::min<std::size_t>(data[0], size - 1);
  Choices choice(data + 1, choices);
  bool flooding = false;
  const std::string input(reinterpret_cast<const char*>(data) + 1 + choices, size - 1 - choices);

  sim::reset();
  sim::addDefaultDevices();
  std::ostringstream out;
  std::vector<std::string> requests;
  {
    // Replies only: the devices' messages (a flood may make millions) are not sent anywhere.
    FrameWriter writer(out);
    FrameQueue frames(writer);
    auto midi = std::make_unique<CMidiWin32>();
    setInputCallbackTarget(midi.get());
    std::FILE* in =
        input.empty() ? nullptr : fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    if (in != nullptr) {
      // The host's reader, with the devices changed before each request is read.
      struct Requests {
        FrameReader reader;
        std::function<void()> beforeEach;
        std::vector<std::string>& seen;
        bool holdsWholeFrame() const { return reader.holdsWholeFrame(); }
        bool next(std::string_view& text, std::string& storage) {
          beforeEach();
          if (!reader.next(text, storage)) return false;
          seen.emplace_back(text);
          return true;
        }
      } requestsRead{FrameReader(in), [&] { changeDevices(choice, flooding); }, requests};
      serveRequests(requestsRead, frames, *midi);
      std::fclose(in);
    }
    // Closes the ports and stops the watcher, as the end of the process would. The callback lets
    // go of the object first: a device the host gave up may still deliver.
    setInputCallbackTarget(nullptr);
    midi.reset();
    frames.Flush();
  }
  sim::setCallbacksOnCallingThread(false);

  std::vector<std::string> expected;
  for (const std::string& text : requests) {
    std::string reply = expectedReply(text);
    if (!reply.empty()) expected.push_back(std::move(reply));
  }

  const std::string bytes = out.str();
  std::size_t at = 0;
  std::size_t replies = 0;
  while (at < bytes.size()) {
    require(bytes.size() - at >= 4, "no frame is cut in its length");
    const std::uint32_t length =
        static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8 |
        static_cast<unsigned char>(bytes[at + 2]) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
    at += 4;
    require(bytes.size() - at >= length, "no frame is cut in its text");
    const std::string text = bytes.substr(at, length);
    at += length;
    require(isJson(text), "every frame is valid JSON");
    MidiFrame midiFrame;
    if (startsWith(text, "[\"midi\",")) {
      require(parseMidiFrame(text, midiFrame), "a midi message has its exact form");
    } else if (text != "[\"connection\"]") {
      require(replies < expected.size() && startsWith(text, expected[replies]),
              "each reply answers the next request that has one");
      ++replies;
    }
  }
  require(replies == expected.size(), "every request that has a reply gets one");
  return 0;
}
