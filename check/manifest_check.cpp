#include "check/manifest_check.h"

#include <fstream>
#include <iterator>

#include "check/browser_lookup.h"
#include "check/json_value.h"
#include "host/text_encoding.h"

namespace melvix {

namespace {

const char kReinstall[] =
    "Run the Melvix installer again: it puts the manifest back as it should be.";

// What the browser's extension sees when the browser rejects the manifest.
std::string notFound(Browser browser) {
  return chromiumBased(browser)
             ? " The extension sees \"Specified native messaging host not found.\""
             : " The extension sees \"No such native application " + std::string(kHostName) + "\".";
}

// Whether a path is absolute the way Windows takes it (a drive and a root, or a network share),
// or, elsewhere, the way the system takes it.
bool isAbsolutePath(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.is_absolute();
#else
  return !path.empty() && path.native()[0] == '/';
#endif
}

bool listHolds(const JsonValue* list, const std::string& entry) {
  if (list == nullptr || !list->IsArray()) return false;
  for (const JsonValue& item : list->items) {
    if (item.IsString() && item.text == entry) return true;
  }
  return false;
}

}  // namespace

std::string pathText(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring native = path.native();
  return wideToUtf8(WideString(native.begin(), native.end()));
#else
  return path.native();
#endif
}

std::filesystem::path pathFrom(const WideString& text) {
#ifdef _WIN32
  return std::filesystem::path(std::wstring(text.begin(), text.end()));
#else
  return std::filesystem::path(wideToUtf8(text));
#endif
}

ManifestCheck checkManifest(Browser browser, const std::filesystem::path& manifest) {
  ManifestCheck result;
  const std::string where = "The manifest " + pathText(manifest);
  std::ifstream in(manifest, std::ios::binary);
  if (!in) {
    result.findings.push_back(
        Check(CheckId::kManifestUnreadable, browser,
              where + " cannot be read: it was deleted, or never written." + notFound(browser),
              kReinstall));
    return result;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    // Chromium's reader and today's Firefox skip it; older versions of Firefox refuse the file.
    result.findings.push_back(Check(CheckId::kManifestByteOrderMark, browser,
                                    where + " begins with a byte-order mark, which some browser "
                                            "versions refuse.",
                                    kReinstall));
    text.erase(0, 3);
  }
  std::string error;
  const std::optional<JsonValue> json = parseJson(text, &error);
  if (!json || json->kind != JsonValue::Kind::kObject) {
    result.findings.push_back(Check(CheckId::kManifestInvalidJson, browser,
                                    where + " is not valid JSON (" +
                                        (json ? "not an object" : error) + ")." + notFound(browser),
                                    kReinstall));
    return result;
  }
  // A string member, or nothing when it is missing or not a string.
  const auto field = [&](const char* name) -> std::optional<std::string> {
    const JsonValue* value = json->Member(name);
    if (value == nullptr || !value->IsString()) return std::nullopt;
    return value->text;
  };
  const auto shown = [](const std::optional<std::string>& value) {
    return value ? quoteJson(*value) : std::string("none");
  };
  if (field("name") != kHostName) {
    result.findings.push_back(Check(CheckId::kManifestWrongName, browser,
                                    where + " names the host " + shown(field("name")) + ", not \"" +
                                        kHostName + "\"." + notFound(browser),
                                    kReinstall));
  }
  if (field("type") != "stdio") {
    result.findings.push_back(Check(
        CheckId::kManifestWrongType, browser,
        where + " has the type " + shown(field("type")) + ", not \"stdio\"." + notFound(browser),
        kReinstall));
  }
  if (chromiumBased(browser) && field("description").value_or("").empty()) {
    result.findings.push_back(Check(CheckId::kManifestNoDescription, browser,
                                    where + " has no description, without which " +
                                        browserName(browser) + " takes no manifest." +
                                        notFound(browser),
                                    kReinstall));
  }
  if (chromiumBased(browser) && !listHolds(json->Member("allowed_origins"), kChromeOrigin)) {
    result.findings.push_back(
        Check(CheckId::kManifestExtensionNotAllowed, browser,
              where + " does not allow the Melvix extension (its \"allowed_origins\" lacks " +
                  kChromeOrigin +
                  "). The extension sees \"Access to the specified native "
                  "messaging host is forbidden.\"",
              kReinstall));
  }
  if (!chromiumBased(browser) &&
      !listHolds(json->Member("allowed_extensions"), kFirefoxExtension)) {
    result.findings.push_back(
        Check(CheckId::kManifestExtensionNotAllowed, browser,
              where + " does not allow the Melvix add-on (its \"allowed_extensions\" lacks " +
                  kFirefoxExtension + ")." + notFound(browser),
              kReinstall));
  }
  const std::string path = field("path").value_or("");
  if (path.empty()) {
    result.findings.push_back(Check(CheckId::kManifestNoPath, browser,
                                    where + " names no host program." + notFound(browser),
                                    kReinstall));
    return result;
  }
  std::filesystem::path host = pathFrom(utf8ToWide(path));
  if (!isAbsolutePath(host)) {
    result.findings.push_back(Check(CheckId::kManifestRelativePath, browser,
                                    where + " names the host by a relative path, " +
                                        quoteJson(path) +
                                        ", which the browser takes from the manifest's folder.",
                                    kReinstall));
    host = manifest.parent_path() / host;
  }
  std::error_code failed;
  if (!std::filesystem::is_regular_file(host, failed)) {
    result.findings.push_back(Check(
        CheckId::kHostMissing, browser,
        "The host program " + pathText(host) + " that " + pathText(manifest) +
            " names is missing: deleted, or quarantined by an antivirus program." +
            notFound(browser),
        "Reinstall Melvix; if the program disappears again, let the antivirus program allow it."));
    return result;
  }
  // The browser starts the program only from a manifest it takes.
  for (const Check& finding : result.findings) {
    if (finding.status() == Status::kProblem) return result;
  }
  result.host = host;
  return result;
}

}  // namespace melvix
