#include "reg/manifest_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace melvix {

namespace {

// Everything before the host path; both browsers read the same keys here.
constexpr char kHead[] =
    "{\n"
    "  \"name\": \"com.tarnwell.melvix_midi\",\n"
    "  \"description\": \"melvix-midi\",\n"
    "  \"path\": \"";
constexpr char kTypeLine[] =
    "\",\n"
    "  \"type\": \"stdio\",\n";
// Chrome names the extensions that may start the host by origin, Firefox by add-on id.
constexpr char kChromeOrigins[] =
    "  \"allowed_origins\": [ \"chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/\" ]\n"
    "}\n";

std::string manifest(std::string_view hostPath, const std::string& allowedLine) {
  return kHead + escapeJsonText(hostPath) + kTypeLine + allowedLine;
}

void appendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isHighSurrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::string nativeToUtf8(const NativeString& text) {
#ifdef _WIN32
  return utf16ToUtf8(std::u16string(text.begin(), text.end()));
#else
  return text;
#endif
}

NativeString nativeFromAscii(const char* text) {
  return NativeString(text, text + std::strlen(text));
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Text mode, so that on Windows every line ends in CR LF like any other text file there.
File openForWriting(const NativeString& name) {
#ifdef _WIN32
  return File(_wfopen(name.c_str(), L"w"));
#else
  return File(std::fopen(name.c_str(), "w"));
#endif
}

// Writes `text` as the whole of a new file and closes it; false unless every byte reached the file
// (a missing folder, no permission, a full disk or a file size limit all say false).
bool writeFile(const NativeString& name, const std::string& text) {
  File file = openForWriting(name);
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  // The stream's buffer reaches the file only at the close, which can fail too.
  return std::fclose(file.release()) == 0 && written;
}

}  // namespace

std::string escapeJsonText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\' || ch == '"') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string chromeManifest(std::string_view hostPath) { return manifest(hostPath, kChromeOrigins); }

std::string firefoxManifest(std::string_view hostPath) {
  return manifest(hostPath,
                  std::string("  \"allowed_extensions\": [ \"") + kFirefoxAddonId + "\" ]\n}\n");
}

std::string utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t c = units[i];
    if (isHighSurrogate(c) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
      c = 0xFFFD;
    }
    appendUtf8(out, c);
  }
  return out;
}

int runMelvixReg(const std::vector<NativeString>& args, const NativeString& markerPath) {
  // The marker says only that melvixreg ran, so it is created (or emptied) before anything else,
  // even for a wrong command line.
  File marker = openForWriting(markerPath);
  if (args.size() != 2) return 1;
  const NativeString& prefix = args[0];
  const std::string hostPath = nativeToUtf8(args[1]);

  // Each file is written whatever became of the other one, the marker closed last.
  const bool chrome = writeFile(prefix + nativeFromAscii(".chrome.json"), chromeManifest(hostPath));
  const bool firefox =
      writeFile(prefix + nativeFromAscii(".firefox.json"), firefoxManifest(hostPath));
  return chrome && firefox ? 0 : kManifestNotWritten;
}

}  // namespace melvix
