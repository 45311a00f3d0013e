// Micro-benchmarks of the host's text work, in bytes per second of input: the request tokenizer
// (fresh, reused as the request loop reuses it, and the sweep that "play" makes), the JSON quoting,
// the UTF-8/UTF-16 conversions and the MIDI byte-stream splitter.
//
//   micro_bench [Google Benchmark flags, e.g. --benchmark_min_time=0.01]
#include <benchmark/benchmark.h>

#include <string>

#include "host/request_tokenizer.h"
#include "host/text_encoding.h"
#include "midi/cmidi_out.h"

using namespace melvix;

namespace {

std::string playText(std::size_t size) {
  std::string text = "[\"play\",240";
  while (text.size() + 5 < size) text += ",100";
  return text + ",247]";
}

// A port name such as a browser sends it: blanks, a quotation mark, a \u escape, a pair.
const std::string kNameRequest =
    R"x(["openin","Roland \"UM-ONE\" caf\u00e9 \uD83C\uDFB9 MIDI In 1 (USB Audio Device)"])x";

void setBytes(benchmark::State& state, std::size_t perIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
}

void tokenize(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    Request request = tokenizeRequest(text);
    benchmark::DoNotOptimize(request.data());
  }
  setBytes(state, text.size());
}

// As the request loop does it: one Request, its memory reused from one request to the next.
void tokenizeReused(benchmark::State& state, const std::string& text) {
  Request request;
  for (auto _ : state) {
    tokenizeRequest(text, request);
    benchmark::DoNotOptimize(request.data());
  }
  setBytes(state, text.size());
}

// What "play" does with the items after its name: their byte values in one sweep.
void playBytes(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    RequestScanner scanner(text);
    RequestItem command;
    scanner.next(command);
    std::string bytes;
    scanner.takeByteValues(bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  setBytes(state, text.size());
}

void BM_TokenizeVersion(benchmark::State& state) { tokenize(state, R"(["version"])"); }
void BM_TokenizeVersionReused(benchmark::State& state) { tokenizeReused(state, R"(["version"])"); }
void BM_TokenizePlay(benchmark::State& state) { tokenize(state, R"(["play",144,60,100])"); }
void BM_TokenizeName(benchmark::State& state) { tokenize(state, kNameRequest); }
void BM_TokenizeNameReused(benchmark::State& state) { tokenizeReused(state, kNameRequest); }
void BM_TokenizePlay64K(benchmark::State& state) { tokenize(state, playText(64 * 1024)); }
void BM_PlayBytes(benchmark::State& state) { playBytes(state, R"(["play",144,60,100])"); }
void BM_PlayBytes64K(benchmark::State& state) { playBytes(state, playText(64 * 1024)); }

void quote(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    std::string quoted = quoteJson(text);
    benchmark::DoNotOptimize(quoted.data());
  }
  setBytes(state, text.size());
}

void BM_QuoteJsonName(benchmark::State& state) { quote(state, "Melvix Loopback MIDI In 1"); }
void BM_QuoteJsonEscapes(benchmark::State& state) {
  quote(state, "a \"quoted\" back\\slash\ttab\x01 name with caf\xC3\xA9");
}
void BM_QuoteJson4K(benchmark::State& state) {
  std::string text;
  while (text.size() < 4096) text += "USB MIDI Interface caf\xC3\xA9 ";
  quote(state, text);
}

const std::string kUtf8Name =
    "USB caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB9 MIDI In 1 (Audio Device)";

void BM_Utf8ToWide(benchmark::State& state) {
  for (auto _ : state) {
    WideString wide = utf8ToWide(kUtf8Name);
    benchmark::DoNotOptimize(wide.data());
  }
  setBytes(state, kUtf8Name.size());
}

void BM_WideToUtf8(benchmark::State& state) {
  const WideString wide = utf8ToWide(kUtf8Name);
  for (auto _ : state) {
    std::string utf8 = wideToUtf8(wide);
    benchmark::DoNotOptimize(utf8.data());
  }
  setBytes(state, wide.size() * sizeof(char16_t));
}

// The splitter with a device that takes everything.
class NullOut : public CMidiOut {
 public:
  NullOut() : CMidiOut(winStr(WideString(u"Bench"))) {}
  bool Transmit(const ByteString& bytes) override {
    benchmark::DoNotOptimize(bytes.data());
    return true;
  }
};

// A stream of note-ons with running status, program changes and system-exclusive messages, fed in
// pieces of `state.range(0)` bytes.
void BM_Splitter(benchmark::State& state) {
  ByteString stream;
  for (int i = 0; stream.size() < 64 * 1024; ++i) {
    stream += "\x90\x3C\x64\x3E\x64\x40\x64";
    stream += "\xC1\x05";
    if (i % 8 == 0) stream += ByteString("\xF0\x7E\x7F\x09\x01\x10\x20\x30\x40\xF7");
  }
  const auto piece = static_cast<std::size_t>(state.range(0));
  std::vector<ByteString> pieces;
  for (std::size_t at = 0; at < stream.size(); at += piece)
    pieces.push_back(stream.substr(at, piece));
  NullOut out;
  for (auto _ : state) {
    for (const ByteString& p : pieces) out.SendStream(p);
  }
  setBytes(state, stream.size());
}

}  // namespace

BENCHMARK(BM_TokenizeVersion);
BENCHMARK(BM_TokenizeVersionReused);
BENCHMARK(BM_TokenizePlay);
BENCHMARK(BM_TokenizeName);
BENCHMARK(BM_TokenizeNameReused);
BENCHMARK(BM_TokenizePlay64K);
BENCHMARK(BM_PlayBytes);
BENCHMARK(BM_PlayBytes64K);
BENCHMARK(BM_QuoteJsonName);
BENCHMARK(BM_QuoteJsonEscapes);
BENCHMARK(BM_QuoteJson4K);
BENCHMARK(BM_Utf8ToWide);
BENCHMARK(BM_WideToUtf8);
BENCHMARK(BM_Splitter)->Arg(3)->Arg(64)->Arg(4096);

BENCHMARK_MAIN();
