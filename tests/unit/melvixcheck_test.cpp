// What melvixcheck decides: which manifest each browser takes from the registry, in its order and
// under its policies, and what it makes of that manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <tuple>

#include "check/browser_checks.h"
#include "check/browser_lookup.h"
#include "check/host_probe.h"
#include "check/manifest_check.h"
#include "check/midi_stack.h"
#include "host/text_encoding.h"
#include "tests/support/program_paths.h"
#include "tests/support/scratch_dir.h"

namespace {

// A registry made up for a test: string values of keys, policy DWORDs, policy lists.
class MadeUpRegistry : public Registry {
 public:
  using Place = std::tuple<Hive, View, WideString>;

  void SetString(Hive hive, View view, const WideString& key, const WideString& name,
                 WideString value, bool expandable = false) {
    strings_[{hive, view, key}][name] = RegistryString{std::move(value), expandable};
  }
  void SetDword(Hive hive, const WideString& key, const WideString& name, DWORD value,
                View view = View::kShared) {
    dwords_[{hive, view, key}][name] = value;
  }
  void SetList(Hive hive, const WideString& key, std::vector<WideString> values) {
    lists_[{hive, View::kShared, key}] = std::move(values);
  }

  std::optional<RegistryString> ReadString(Hive hive, View view, const WideString& key,
                                           const WideString& name) override {
    auto it = strings_.find({hive, view, key});
    if (it == strings_.end() || it->second.count(name) == 0) return std::nullopt;
    return it->second.at(name);
  }
  std::optional<DWORD> ReadDword(Hive hive, View view, const WideString& key,
                                 const WideString& name) override {
    auto it = dwords_.find({hive, view, key});
    if (it == dwords_.end() || it->second.count(name) == 0) return std::nullopt;
    return it->second.at(name);
  }
  std::vector<WideString> ReadStrings(Hive hive, View view, const WideString& key) override {
    auto it = lists_.find({hive, view, key});
    return it == lists_.end() ? std::vector<WideString>{} : it->second;
  }

 private:
  std::map<Place, std::map<WideString, RegistryString>> strings_;
  std::map<Place, std::map<WideString, DWORD>> dwords_;
  std::map<Place, std::vector<WideString>> lists_;
};

// The ids of `checks` in their order, blank-separated.
std::string ids(const std::vector<Check>& checks) {
  std::string text;
  for (const Check& check : checks)
    text += (text.empty() ? "" : " ") + std::string(checkKind(check.id).name);
  return text;
}

const WideString kChromeKey =
    u"SOFTWARE\\Google\\Chrome\\NativeMessagingHosts\\com.tarnwell.melvix_midi";
const WideString kEdgeKey =
    u"SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts\\com.tarnwell.melvix_midi";
const WideString kMozillaKey = u"SOFTWARE\\Mozilla\\NativeMessagingHosts\\com.tarnwell.melvix_midi";

TEST(BrowserLookup, EachBrowserTakesTheFirstKeyItReadsInItsOwnOrder) {
  const Hive user = Hive::kCurrentUser;
  const Hive machine = Hive::kLocalMachine;
  const struct {
    const char* what;
    Browser browser;
    std::function<void(MadeUpRegistry&)> setUp;
    const char16_t* manifest;  // null: none is used
    std::size_t shadowed;
    bool ignoredPerUser;
    bool blocked;
  } cases[] = {
      {"nothing registered", Browser::kChrome, [](MadeUpRegistry&) {}, nullptr, 0, false, false},
      {"per user before all users", Browser::kChrome,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\u.json");
         r.SetString(machine, View::k32, kChromeKey, u"", u"C:\\m.json");
       },
       u"C:\\u.json", 1, false, false},
      {"the 32-bit view before the 64-bit one", Browser::kChrome,
       [&](MadeUpRegistry& r) {
         r.SetString(machine, View::k64, kChromeKey, u"", u"C:\\64.json");
         r.SetString(machine, View::k32, kChromeKey, u"", u"C:\\32.json");
       },
       u"C:\\32.json", 1, false, false},
      {"Edge falls back to Chrome's key", Browser::kEdge,
       [&](MadeUpRegistry& r) { r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\c.json"); },
       u"C:\\c.json", 0, false, false},
      {"Edge's own key first", Browser::kEdge,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\c.json");
         r.SetString(user, View::kShared, kEdgeKey, u"", u"C:\\e.json");
       },
       u"C:\\e.json", 1, false, false},
      {"a policy against per-user hosts", Browser::kEdge,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kEdgeKey, u"", u"C:\\e.json");
         r.SetDword(machine, u"SOFTWARE\\Policies\\Microsoft\\Edge",
                    u"NativeMessagingUserLevelHosts", 0);
       },
       nullptr, 0, true, false},
      {"a policy against per-user hosts, installed for all users too", Browser::kChrome,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\u.json");
         r.SetString(machine, View::k32, kChromeKey, u"", u"C:\\m.json");
         r.SetDword(user, u"SOFTWARE\\Policies\\Google\\Chrome", u"NativeMessagingUserLevelHosts",
                    0);
       },
       u"C:\\m.json", 0, true, false},
      {"the machine's policy wins over the user's", Browser::kChrome,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\u.json");
         r.SetDword(machine, u"SOFTWARE\\Policies\\Google\\Chrome",
                    u"NativeMessagingUserLevelHosts", 1);
         r.SetDword(user, u"SOFTWARE\\Policies\\Google\\Chrome", u"NativeMessagingUserLevelHosts",
                    0);
       },
       u"C:\\u.json", 0, false, false},
      {"a block list of everything", Browser::kChrome,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\u.json");
         r.SetList(machine, u"SOFTWARE\\Policies\\Google\\Chrome\\NativeMessagingBlocklist",
                   {u"*"});
       },
       u"C:\\u.json", 0, false, true},
      {"an allow list lifts the block", Browser::kChrome,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kChromeKey, u"", u"C:\\u.json");
         r.SetList(machine, u"SOFTWARE\\Policies\\Google\\Chrome\\NativeMessagingBlocklist",
                   {u"*"});
         r.SetList(machine, u"SOFTWARE\\Policies\\Google\\Chrome\\NativeMessagingAllowlist",
                   {u"com.tarnwell.melvix_midi"});
       },
       u"C:\\u.json", 0, false, false},
      {"Firefox has no such policy and skips an expandable string", Browser::kFirefox,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kMozillaKey, u"", u"%TEMP%\\f.json", true);
         r.SetString(machine, View::k64, kMozillaKey, u"", u"C:\\f.json");
         r.SetDword(machine, u"SOFTWARE\\Policies\\Google\\Chrome",
                    u"NativeMessagingUserLevelHosts", 0);
       },
       u"C:\\f.json", 0, false, false},
      {"Firefox takes an empty per-user value for none", Browser::kFirefox,
       [&](MadeUpRegistry& r) {
         r.SetString(user, View::kShared, kMozillaKey, u"", u"");
         r.SetString(machine, View::k64, kMozillaKey, u"", u"C:\\f.json");
       },
       u"C:\\f.json", 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MadeUpRegistry registry;
    c.setUp(registry);
    const Registration found = findRegistration(c.browser, registry);
    EXPECT_EQ(found.used.has_value(), c.manifest != nullptr);
    if (c.manifest != nullptr) {
      EXPECT_EQ(found.manifest, WideString(c.manifest));
    }
    EXPECT_EQ(found.shadowed.size(), c.shadowed);
    EXPECT_EQ(!found.ignoredPerUser.empty(), c.ignoredPerUser);
    EXPECT_EQ(found.policy.blocked, c.blocked);
  }
}

const char kChromeAllowed[] =
    R"(  "allowed_origins": [ "chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/" ])";

std::string manifestText(const std::string& path, const std::string& allowed) {
  return "{\n  \"name\": \"com.tarnwell.melvix_midi\",\n  \"description\": \"melvix-midi\",\n"
         "  \"path\": \"" +
         path + "\",\n  \"type\": \"stdio\",\n" + allowed + "\n}\n";
}

TEST(ManifestCheck, ABrowserTakesOnlyAManifestItCanUse) {
  ScratchDir dir;
  const std::string host = dir / "melvixhost";
  std::ofstream(dir / "melvixhost") << "a program";
  const std::string chrome = kChromeAllowed;
  const std::string firefox = R"(  "allowed_extensions": [ "melvix-midi@tarnwell.com" ])";
  const struct {
    const char* what;
    Browser browser;
    std::string text;                // empty: no file
    std::optional<CheckId> finding;  // the one problem or warning found; none: nothing
  } cases[] = {
      {"as written", Browser::kChrome, manifestText(host, chrome), std::nullopt},
      {"as written for Firefox", Browser::kFirefox, manifestText(host, firefox), std::nullopt},
      {"a byte-order mark", Browser::kChrome, "\xEF\xBB\xBF" + manifestText(host, chrome),
       CheckId::kManifestByteOrderMark},
      {"a stray byte", Browser::kChrome, manifestText(host, chrome) + "x",
       CheckId::kManifestInvalidJson},
      {"another name", Browser::kFirefox,
       "{\"name\":\"com.other\",\"description\":\"d\",\"path\":\"" + host +
           "\",\"type\":\"stdio\",\"allowed_extensions\":[\"melvix-midi@tarnwell.com\"]}",
       CheckId::kManifestWrongName},
      {"the origin without its slash", Browser::kEdge,
       manifestText(host,
                    R"("allowed_origins":["chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf"])"),
       CheckId::kManifestExtensionNotAllowed},
      {"Chrome's list read by Firefox", Browser::kFirefox, manifestText(host, chrome),
       CheckId::kManifestExtensionNotAllowed},
      {"a host program that is gone", Browser::kChrome, manifestText(host + ".gone", chrome),
       CheckId::kHostMissing},
      {"a relative path", Browser::kChrome, manifestText("melvixhost", chrome),
       CheckId::kManifestRelativePath},
      {"no file", Browser::kChrome, "", CheckId::kManifestUnreadable},
      {"no path", Browser::kChrome,
       "{\"name\":\"com.tarnwell.melvix_midi\",\"description\":\"d\",\"type\":\"stdio\"," + chrome +
           "}",
       CheckId::kManifestNoPath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::filesystem::path manifest = std::filesystem::path(dir / "m.json");
    std::filesystem::remove(manifest);
    if (!c.text.empty()) std::ofstream(manifest, std::ios::binary) << c.text;
    const ManifestCheck checked = checkManifest(c.browser, manifest);
    if (!c.finding) {
      EXPECT_TRUE(checked.findings.empty()) << checked.findings.front().what;
      continue;
    }
    ASSERT_EQ(checked.findings.size(), 1u);
    EXPECT_EQ(checkKind(checked.findings[0].id).name, checkKind(*c.finding).name)
        << checked.findings[0].what;
    // The browser still starts the host that a manifest with a warning names.
    EXPECT_EQ(checked.host.has_value(), checked.findings[0].status() == Status::kWarning);
  }
}

// Chrome, Chromium and Edge all take a manifest from Chrome's key and start its host alike: it is
// started once, and each of them learns what it did. Besides the Melvix host, the programs a
// browser may find at the manifest's path, each a few lines of shell.
TEST(BrowserChecks, EachBrowserThatStartsAHostLearnsWhatItDid) {
  const struct {
    const char* what;
    const char* script;  // null: the Melvix host built here
    bool executable;
    const char* found;  // the ids of what each of Chrome, Chromium and Edge finds
  } cases[] = {
      {"the Melvix host", nullptr, true, "registration.found host.ok"},
      {"a program that ends at once", "exit 0", true, "registration.found host.no_reply"},
      {"a program that writes something else", "echo hello", true,
       "registration.found host.not_a_frame"},
      // Its child holds the output too, as a program the host starts may: both must be ended.
      {"a host that answers but never ends",
       R"(printf '\017\000\000\000["version","1"]\016\000\000\000["refresh",{}]'; sleep 60)", true,
       "registration.found host.not_ended"},
      {"a file that is no program", "exit 0", false, "registration.found host.not_started"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    std::string host = dir / "host";
    if (c.script == nullptr) {
      const std::vector<std::string> built = programCommand("MELVIX_HOST");
      if (built.size() != 1) continue;  // run by another program (Wine), not as a browser would
      host = built[0];
    } else {
      writeWholeFile(host, std::string("#!/bin/sh\n") + c.script + "\n");
      if (c.executable) std::filesystem::permissions(host, std::filesystem::perms::owner_all);
    }
    writeWholeFile(dir / "m.json", manifestText(host, kChromeAllowed));
    MadeUpRegistry registry;
    registry.SetString(Hive::kCurrentUser, View::kShared, kChromeKey, u"",
                       utf8ToWide(dir / "m.json"));
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Check> checks = checkBrowsers(registry, PortScan{});
    // The probe's own limits are 5 s for the replies and 1 s for the end: longer is a host left
    // running with the output pipe open.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count(),
              10000);
    std::string found;
    for (Browser browser : kBrowsers) {
      std::vector<Check> its;
      std::copy_if(checks.begin(), checks.end(), std::back_inserter(its),
                   [&](const Check& check) { return check.browser == browser; });
      found += std::string(browserId(browser)) + ": " + ids(its) + "\n";
    }
    EXPECT_EQ(found, std::string("chrome: ") + c.found + "\nchromium: " + c.found +
                         "\nedge: " + c.found + "\nfirefox: registration.missing\n");
  }
}

// The host may write its replies in one go: the probe reads them as they come.
TEST(HostProbe, TheFrameScanTakesWholeFramesAndKeepsTheRest) {
  const auto frame = [](const std::string& text) {
    const auto n = static_cast<unsigned>(text.size());
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), 0, 0} + text;
  };
  const std::string two = frame("[\"version\",\"1.5\"]") + frame("[\"refresh\",{}]");
  const struct {
    std::string bytes;
    std::size_t frames;
    std::size_t rest;
    bool garbage;
  } cases[] = {
      {two, 2, 0, false},
      {two + frame("[1]").substr(0, 5), 2, 5, false},
      {two.substr(0, 10), 0, 10, false},
      {frame("[1") + two, 0, 0, true},
      {std::string("\xff\xff\xff\x7f[]"), 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const FrameScan scan = scanFrames(c.bytes);
    EXPECT_EQ(scan.texts.size(), c.frames);
    EXPECT_EQ(scan.garbage, c.garbage);
    if (!c.garbage) {
      EXPECT_EQ(scan.rest, c.rest);
    }
  }
}

// Which MIDI stack WinMM uses, from both views of the Drivers32 key, and the 32-bit registration
// that a driver's uninstaller may remove beside the 64-bit one.
TEST(MidiStack, TheStackInUseAndA32BitViewWithoutItAreNamed) {
  const WideString drivers = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
  const Hive machine = Hive::kLocalMachine;
  const struct {
    const char* what;
    std::function<void(MadeUpRegistry&)> setUp;
    std::optional<bool> serviceRunning;
    const char* said;   // a part of the first finding
    const char* found;  // the findings' ids
  } cases[] = {
      {"classic drivers",
       [&](MadeUpRegistry& r) {
         r.SetString(machine, View::k64, drivers, u"midi", u"wdmaud.drv");
         r.SetString(machine, View::k32, drivers, u"midi", u"wdmaud.drv");
       },
       std::nullopt, "classic drivers (midi = wdmaud.drv)", "midi.stack"},
      {"the new stack in both views, classic names",
       [&](MadeUpRegistry& r) {
         r.SetString(machine, View::k64, drivers, u"midi1", u"WDMAUD2.DRV");
         r.SetString(machine, View::k32, drivers, u"midi1", u"wdmaud2.drv");
         r.SetDword(machine, u"SOFTWARE\\Microsoft\\Windows MIDI Services",
                    u"DefaultMidi1PortNaming", 1, View::k64);
       },
       true, "(DefaultMidi1PortNaming is 1)", "midi.stack"},
      {"the new stack for 64-bit programs only",
       [&](MadeUpRegistry& r) {
         r.SetString(machine, View::k64, drivers, u"midi1", u"wdmaud2.drv");
       },
       true, "DefaultMidi1PortNaming to 1", "midi.stack midi.stack.no_32bit"},
      {"the new stack without its service",
       [&](MadeUpRegistry& r) {
         r.SetString(machine, View::k64, drivers, u"midi1", u"wdmaud2.drv");
         r.SetString(machine, View::k32, drivers, u"midi2", u"wdmaud2.drv");
       },
       false, "midisrv does not run", "midi.stack midi.stack.no_service"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MadeUpRegistry registry;
    c.setUp(registry);
    const std::vector<Check> checks = checkMidiStack(registry, c.serviceRunning);
    ASSERT_FALSE(checks.empty());
    EXPECT_NE(checks[0].what.find(c.said), std::string::npos) << checks[0].what;
    EXPECT_EQ(ids(checks), c.found);
  }
}

}  // namespace
