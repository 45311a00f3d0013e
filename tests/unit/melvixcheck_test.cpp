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
#include "check/install_check.h"
#include "check/manifest_check.h"
#include "check/midi_stack.h"
#include "check/program_file.h"
#include "host/frame_writer.h"
#include "host/text_encoding.h"
#include "tests/support/program_paths.h"
#include "tests/support/scratch_dir.h"

using namespace melvix;

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
      {"the Melvix host", nullptr, true, "registration.found host.program host.ok"},
      {"a program that ends at once", "exit 0", true,
       "registration.found host.program host.no_reply"},
      {"a program that writes something else", "echo hello", true,
       "registration.found host.program host.not_a_frame"},
      // Its child holds the output too, as a program the host starts may: both must be ended.
      {"a host that answers but never ends",
       R"(printf '\017\000\000\000["version","1"]\016\000\000\000["refresh",{}]'; sleep 60)", true,
       "registration.found host.program host.not_ended"},
      {"a file that is no program", "exit 0", false,
       "registration.found host.program host.not_started"},
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

// A block of a version resource: its key, its value (text: UTF-16 counted in units) and its
// children, each at a 32-bit boundary.
std::string versionBlock(const std::u16string& key, const std::string& value, bool text,
                         const std::string& children) {
  std::string block(6, '\0');
  for (char16_t unit : key + u'\0')
    block += {static_cast<char>(unit), static_cast<char>(unit >> 8)};
  while (block.size() % 4 != 0) block += '\0';
  block += value;
  while (block.size() % 4 != 0) block += '\0';
  block += children;
  const std::size_t counts[] = {block.size(), text ? value.size() / 2 : value.size(), text};
  for (std::size_t i = 0; i < 3; ++i) {
    block[2 * i] = static_cast<char>(counts[i]);
    block[2 * i + 1] = static_cast<char>(counts[i] >> 8);
  }
  return block;
}

std::string utf16z(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii + '\0') bytes += {c, '\0'};
  return bytes;
}

// A Windows program as far as melvixcheck reads one: its headers (PE32 for i386, PE32+ for the
// others) and one section of resources holding a version resource with that FileVersion and
// ProductVersion, found under type 16, name 1, language 0x409 (no version: no resources).
std::string madeUpProgram(unsigned machine, const char* version) {
  std::string b(0x200, '\0');
  const auto put = [&](std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
  };
  const bool plus = machine != 0x14C;
  b.replace(0, 2, "MZ");
  put(0x3C, 0x40, 4);
  b.replace(0x40, 4, std::string("PE\0\0", 4));
  put(0x44, machine, 2);
  put(0x46, 1, 2);  // one section
  const std::size_t optional = 0x58;
  const std::uint32_t optionalSize = plus ? 240 : 224;
  put(0x54, optionalSize, 2);
  put(optional, plus ? 0x20B : 0x10B, 2);
  const std::size_t directories = optional + (plus ? 108 : 92);
  put(directories, 16, 4);
  if (version == nullptr) return b;
  const std::uint32_t rva = 0x3000;
  const std::string info = versionBlock(
      u"VS_VERSION_INFO", std::string(52, '\0'), false,
      versionBlock(u"VarFileInfo", "", false, "") +
          versionBlock(
              u"StringFileInfo", "", false,
              versionBlock(u"040904B0", "", false,
                           versionBlock(u"CompanyName", utf16z("Tarnwell"), true, "") +
                               versionBlock(u"FileVersion", utf16z(version), true, "") +
                               versionBlock(u"ProductVersion", utf16z(version), true, ""))));
  std::string tree(88, '\0');
  const auto putTree = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) tree[at + i] = static_cast<char>(value >> (8 * i));
  };
  // Three directories of one entry each (type, name, language), then the data entry.
  for (std::uint32_t level = 0; level < 3; ++level) {
    tree[24 * level + 14] = 1;
    putTree(24 * level + 16, level == 0 ? 16 : level == 1 ? 1 : 0x409);
    putTree(24 * level + 20, level < 2 ? 0x80000000u | (24 * level + 24) : 72);
  }
  putTree(72, rva + 88);
  putTree(76, static_cast<std::uint32_t>(info.size()));
  tree += info;
  put(directories + 4 + 16, rva, 4);
  put(directories + 4 + 20, static_cast<std::uint32_t>(tree.size()), 4);
  const std::size_t section = optional + optionalSize;
  put(section + 8, static_cast<std::uint32_t>(tree.size()), 4);
  put(section + 12, rva, 4);
  put(section + 16, static_cast<std::uint32_t>(tree.size()), 4);
  put(section + 20, 0x200, 4);
  return b + tree;
}

// The processor a program was built for and its version, from its bytes alone; a file that is no
// Windows program, or is cut short, is read without a crash.
TEST(ProgramFile, TheMachineAndTheVersionAreReadFromTheFile) {
  const struct {
    const char* what;
    std::string bytes;
    Machine machine;
    const char* version;
  } cases[] = {
      {"32-bit", madeUpProgram(0x14C, "1.5"), Machine::kX86, "1.5"},
      {"x86-64", madeUpProgram(0x8664, "1.4.2"), Machine::kX64, "1.4.2"},
      {"no resources", madeUpProgram(0x8664, nullptr), Machine::kX64, ""},
      {"cut short", madeUpProgram(0x14C, "1.5").substr(0, 0x260), Machine::kX86, ""},
      {"a Linux program",
       "\x7f"
       "ELF\x02\x01\x01" +
           std::string(200, '\0'),
       Machine::kNone, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ProgramFile file = readProgram(c.bytes);
    EXPECT_EQ(machineText(file.machine), std::string(machineText(c.machine)));
    EXPECT_EQ(file.fileVersion, c.version);
    EXPECT_EQ(file.productVersion, c.version);
  }
}

// An installation of both builds: the x86-64 programs in the folder, the 32-bit ones in x86. The
// browsers start the one the manifest names; the other is asked for its ports too, and a port that
// only one of them sees is named with the switch that makes the browsers start the other.
TEST(Installation, ProgramsOfOneVersionAndPortsOnlyOneHostSeesAreNamed) {
  const auto refresh = [](const std::string& ins) {
    std::string text = R"(["refresh",{"outs":[],"ins":[)" + ins + "]}]";
    std::string frames;
    appendFrame(frames, R"(["version","1.5"])");
    appendFrame(frames, text);
    return frames;
  };
  const struct {
    const char* what;
    bool browsersStartX86;
    std::string folderReplies;  // empty: no host there
    std::string x86Replies;     // empty: no x86 folder; "exit": a host that ends at once
    std::string x86Version;     // of x86\melvixreg, beside a folder of 1.5
    const char* found;          // the ids of the findings that concern no browser
    const char* said;           // a part of what they say
  } cases[] = {
      {"a port only the 32-bit host sees", false, refresh(R"({"name":"Keys"})"),
       refresh(R"({"name":"Keys"},{"name":"Old Cable"})"), "1.5",
       "ports.differ install.same_version hosts.differ",
       "To use the inputs \"Old Cable\" in the browsers, run the Melvix installer again with /X86"},
      {"installed with /X86, a port only the x86-64 host sees", true,
       refresh(R"({"name":"New Synth"})"), refresh(""), "1.5",
       "ports.same install.same_version hosts.differ", "again without /X86"},
      {"both see the same", false, refresh(R"({"name":"Keys"})"), refresh(R"({"name":"Keys"})"),
       "1.5", "ports.differ install.same_version hosts.same", "see the same MIDI ports"},
      {"a 32-bit host that does not answer", false, refresh(""), "exit", "1.5",
       "ports.same install.same_version hosts.other_no_answer", "did not answer"},
      {"a 32-bit program left from an older version", false, refresh(""), refresh(""), "1.4",
       "ports.same install.mixed_versions hosts.same", "version 1.4: x86\\melvixreg"},
      {"32-bit Windows: no x86 folder", false, refresh(""), "", "",
       "ports.same install.same_version", "is of version 1.5: melvixreg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    std::filesystem::create_directory(dir / "Melvix");
    const std::string folder = dir / "Melvix";
    const auto host = [&](const std::string& where, const std::string& replies) {
      std::filesystem::create_directories(where);
      writeWholeFile(where + "/replies", replies);
      writeWholeFile(where + "/melvixhost",
                     replies == "exit" ? "#!/bin/sh\nexit 0\n"
                                       : "#!/bin/sh\ncat \"$(dirname \"$0\")/replies\"\ncat "
                                         ">/dev/null\n");
      std::filesystem::permissions(where + "/melvixhost", std::filesystem::perms::owner_all);
    };
    host(folder, c.folderReplies);
    writeWholeFile(folder + "/melvixreg", madeUpProgram(0x8664, "1.5"));
    if (!c.x86Replies.empty()) {
      host(folder + "/x86", c.x86Replies);
      writeWholeFile(folder + "/x86/melvixreg", madeUpProgram(0x14C, c.x86Version.c_str()));
    }
    const std::string started =
        c.browsersStartX86 ? folder + "/x86/melvixhost" : folder + "/melvixhost";
    writeWholeFile(dir / "m.json", manifestText(started, kChromeAllowed));
    MadeUpRegistry registry;
    registry.SetString(Hive::kCurrentUser, View::kShared, kChromeKey, u"",
                       utf8ToWide(dir / "m.json"));
    std::vector<InstalledHost> hosts;
    const std::vector<Check> checks = checkBrowsers(registry, PortScan{}, &hosts);
    std::vector<Check> general;
    std::copy_if(checks.begin(), checks.end(), std::back_inserter(general),
                 [](const Check& check) { return !check.browser; });
    EXPECT_EQ(ids(general), c.found);
    ASSERT_FALSE(general.empty());
    std::string said;
    for (const Check& check : general) said += check.what + " / " + check.fix + "\n";
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    // The host the browsers start first, and the other one, which no browser starts.
    ASSERT_EQ(hosts.size(), c.x86Replies.empty() ? 1u : 2u);
    EXPECT_EQ(pathText(hosts[0].path), started);
    EXPECT_EQ(hosts.back().startedBy.empty(), hosts.size() == 2);
  }
}

}  // namespace
