// The request tokenizer on any bytes: it reads nothing outside the text, and the strings and
// numbers of a request written with quoteJson come back exactly (strings that are text, as the
// host's are; quoteJson replaces bytes that are not UTF-8).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "host/request_tokenizer.h"
#include "host/text_encoding.h"
#include "tests/fuzz/fuzz_check.h"

using namespace melvix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The fuzzer's own buffer, which ends exactly here: a read past the text is an ASan report.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Request scanned = tokenizeRequest(text);
  // The opening bracket, then at least two bytes an item: a digit and the byte that ends it, or
  // two quotation marks.
  require(scanned.empty() || 1 + 2 * scanned.size() <= size, "no more items than the text holds");

  FuzzedDataProvider fuzz(data, size);
  std::string request = "[";
  Request expected;
  while (fuzz.remaining_bytes() > 0) {
    if (fuzz.ConsumeBool()) {
      const auto number = fuzz.ConsumeIntegral<std::uint32_t>();
      request += std::to_string(number);
      expected.push_back(RequestItem{std::string(), number});
    } else {
      std::string item = fuzz.ConsumeRandomLengthString();
      request += quoteJson(item);
      expected.push_back(RequestItem{std::move(item), 0});
    }
    request += ',';
  }
  request += ']';
  const Request items = tokenizeRequest(request);
  require(items.size() == expected.size(), "a written request keeps its number of items");
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string& item = expected[i].text;
    if (wideToUtf8(utf8ToWide(item)) != item) continue;
    require(items[i].text == item && items[i].number == expected[i].number,
            "a written request comes back item for item");
  }
  return 0;
}
