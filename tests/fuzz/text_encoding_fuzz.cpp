// The conversions between UTF-16 names and UTF-8 replies: no unit is lost on the way through
// UTF-8, and whatever bytes quoteJson is given, it makes valid JSON of them.
#include <cstdint>
#include <string>

#include "host/request_tokenizer.h"
#include "host/text_encoding.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/json_check.h"

using namespace melvix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  require(isJson(quoteJson(bytes)), "quoteJson of any bytes is valid JSON");

  // The bytes as the 16-bit units of a name, as a driver may hand them over: unpaired surrogates
  // included, since a name cut to its 31 units can end in half a pair.
  WideString units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  const std::string utf8 = wideToUtf8(units);
  require(utf8ToWide(utf8) == units, "UTF-16 survives the round trip through UTF-8");
  const std::string literal = quoteJson(utf8);
  require(isJson(literal), "a name's JSON literal is valid JSON");
  // Read back as the host reads a port name in a request, the literal gives the same bytes.
  const Request read = tokenizeRequest("[" + literal + "]");
  require(read.size() == 1 && read[0].text == utf8, "a name's JSON literal reads back unchanged");
  return 0;
}
