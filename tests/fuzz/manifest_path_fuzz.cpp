// melvixreg's manifests for any host path: each is valid JSON whose "path" reads back as the path.
#include <cstdint>
#include <string>

#include "host/request_tokenizer.h"
#include "reg/manifest_writer.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/json_check.h"

using namespace melvix;

namespace {

// The JSON string literal that starts at `at`, quotation marks included.
std::string literalAt(const std::string& text, std::size_t at) {
  std::size_t end = at + 1;
  while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
  return text.substr(at, end + 1 - at);
}

// The string a JSON literal stands for, decoded as the host decodes the strings of a request.
std::string decoded(const std::string& literal) {
  const Request items = tokenizeRequest("[" + literal + "]");
  return items.size() == 1 ? items[0].text : "<not one string>";
}

void checkManifest(const std::string& manifest, const std::string& path) {
  require(isJson(manifest), "the manifest is valid JSON");
  const std::string key = "\"path\": ";
  const std::size_t at = manifest.find(key);
  require(at != std::string::npos, "the manifest has a path");
  require(decoded(literalAt(manifest, at + key.size())) == path, "the path reads back unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // On Windows the path comes as UTF-16 and is written as UTF-8.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  const std::string path = utf16ToUtf8(units);
  checkManifest(chromeManifest(path), path);
  checkManifest(firefoxManifest(path), path);

  // Elsewhere it is bytes, written as they are: escaped, they still read back unchanged.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  require(decoded("\"" + escapeJsonText(bytes) + "\"") == bytes,
          "escaped bytes read back unchanged");
  return 0;
}
