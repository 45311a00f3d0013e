// The byte-stream splitter of the output ports on any bytes, cut anywhere: every message it sends
// is whole by its status, and what it sends and holds does not depend on where the stream is cut.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "midi/cmidi_out.h"
#include "tests/fuzz/fuzz_check.h"

using namespace melvix;

namespace {

// An output port that keeps what it is given, and accepts or refuses messages in a fixed pattern.
class RecordingOut : public CMidiOut {
 public:
  explicit RecordingOut(std::uint32_t acceptPattern) : CMidiOut(u"fuzz"), pattern_(acceptPattern) {}

  bool Transmit(const ByteString& bytes) override {
    sent.push_back(bytes);
    const bool accepted = (pattern_ >> (sent.size() % 32) & 1) != 0;
    acceptedSinceMark = acceptedSinceMark || accepted;
    return accepted;
  }

  std::vector<ByteString> sent;
  bool acceptedSinceMark = false;

 private:
  std::uint32_t pattern_;
};

bool isData(char byte) { return (static_cast<unsigned char>(byte) & 0x80) == 0; }

// Whether `message` is one whole MIDI message: its status, then exactly the data bytes that status
// takes, or for system exclusive data bytes up to the end byte.
bool isWholeMessage(const ByteString& message) {
  if (message.empty()) return false;
  const auto status = static_cast<unsigned char>(message[0]);
  std::size_t dataBytes = 0;
  if (status < 0x80 || status == 0xF7) return false;
  if (status == 0xF0) {
    if (message.size() < 2 || static_cast<unsigned char>(message.back()) != 0xF7) return false;
    for (std::size_t i = 1; i + 1 < message.size(); ++i) {
      if (!isData(message[i])) return false;
    }
    return true;
  }
  if (status >= 0xF4) {
    dataBytes = 0;
  } else if (status == 0xF1 || status == 0xF3 || (status >> 4) == 0xC || (status >> 4) == 0xD) {
    dataBytes = 1;
  } else {
    dataBytes = 2;  // 0x8n to 0xBn, 0xEn, 0xF2
  }
  if (message.size() != 1 + dataBytes) return false;
  for (std::size_t i = 1; i < message.size(); ++i) {
    if (!isData(message[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fuzz(data, size);
  const auto acceptPattern = fuzz.ConsumeIntegral<std::uint32_t>();
  std::vector<std::size_t> pieces;
  for (int n = fuzz.ConsumeIntegralInRange(0, 16); n > 0; --n) {
    pieces.push_back(fuzz.ConsumeIntegralInRange<std::size_t>(0, 64));
  }
  const std::string stream = fuzz.ConsumeRemainingBytesAsString();

  RecordingOut whole(acceptPattern);
  whole.SendStream(stream);

  RecordingOut cut(acceptPattern);
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size() || i == 0; ++i) {
    const std::size_t length = i < pieces.size() ? pieces[i] : stream.size() - at;
    const std::string piece = stream.substr(at, length);
    at += piece.size();
    cut.acceptedSinceMark = false;
    const bool result = cut.SendStream(piece);
    require(result == cut.acceptedSinceMark,
            "a call reports true exactly when one of its messages was accepted");
  }

  for (const ByteString& message : whole.sent) {
    require(isWholeMessage(message), "every message sent is whole by its status");
  }
  require(cut.sent == whole.sent, "the messages do not depend on where the stream is cut");
  require(cut.Pending() == whole.Pending(),
          "what waits does not depend on where the stream is cut");
  return 0;
}
