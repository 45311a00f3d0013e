#include "check/browser_lookup.h"

#include <algorithm>

#include "host/text_encoding.h"

namespace melvix {

namespace {

WideString hostKey(const char* vendor) {
  return utf8ToWide(std::string("SOFTWARE\\") + vendor + "\\NativeMessagingHosts\\" + kHostName);
}

// Where a Chromium-based browser reads its policies, under HKLM and HKCU alike.
const char* policyKey(Browser browser) {
  switch (browser) {
    case Browser::kChrome:
      return "SOFTWARE\\Policies\\Google\\Chrome";
    case Browser::kChromium:
      return "SOFTWARE\\Policies\\Chromium";
    case Browser::kEdge:
      return "SOFTWARE\\Policies\\Microsoft\\Edge";
    case Browser::kFirefox:
      break;
  }
  return nullptr;
}

// A boolean policy: a DWORD, or a number written as a string, as Chromium accepts either.
std::optional<bool> readBoolean(Registry& registry, Hive hive, const WideString& key,
                                const WideString& name) {
  if (auto value = registry.ReadDword(hive, View::kShared, key, name)) return *value != 0;
  if (auto text = registry.ReadString(hive, View::kShared, key, name)) {
    if (!text->value.empty() && std::all_of(text->value.begin(), text->value.end(),
                                            [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
      return text->value.find_first_not_of(u'0') != WideString::npos;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string hostKeyText(const HostKey& place) {
  return registryPlaceText(place.hive, place.view, place.key);
}

std::vector<HostKey> searchOrder(Browser browser) {
  const Hive user = Hive::kCurrentUser;
  const Hive machine = Hive::kLocalMachine;
  // HKCU\Software is shared by both views, so each key there is one key, listed once.
  switch (browser) {
    case Browser::kChrome:
      return {{user, View::kShared, hostKey("Google\\Chrome")},
              {machine, View::k32, hostKey("Google\\Chrome")},
              {machine, View::k64, hostKey("Google\\Chrome")}};
    case Browser::kChromium:
      // Chromium's own key first in each place, then Chrome's.
      return {{user, View::kShared, hostKey("Chromium")},
              {user, View::kShared, hostKey("Google\\Chrome")},
              {machine, View::k32, hostKey("Chromium")},
              {machine, View::k32, hostKey("Google\\Chrome")},
              {machine, View::k64, hostKey("Chromium")},
              {machine, View::k64, hostKey("Google\\Chrome")}};
    case Browser::kEdge:
      // Edge's own key, then Chromium's and Chrome's as fallbacks, in each place.
      return {{user, View::kShared, hostKey("Microsoft\\Edge")},
              {user, View::kShared, hostKey("Chromium")},
              {user, View::kShared, hostKey("Google\\Chrome")},
              {machine, View::k32, hostKey("Microsoft\\Edge")},
              {machine, View::k32, hostKey("Chromium")},
              {machine, View::k32, hostKey("Google\\Chrome")},
              {machine, View::k64, hostKey("Microsoft\\Edge")},
              {machine, View::k64, hostKey("Chromium")},
              {machine, View::k64, hostKey("Google\\Chrome")}};
    case Browser::kFirefox:
      break;
  }
  return {{user, View::kShared, hostKey("Mozilla")},
          {machine, View::k32, hostKey("Mozilla")},
          {machine, View::k64, hostKey("Mozilla")}};
}

PolicyState readPolicies(Browser browser, Registry& registry) {
  PolicyState state;
  const char* key = policyKey(browser);
  // Firefox has no policy about native-messaging hosts.
  if (key == nullptr) return state;
  const WideString base = utf8ToWide(key);
  // A policy set for the machine wins over the same policy set for the user.
  for (Hive hive : {Hive::kLocalMachine, Hive::kCurrentUser}) {
    if (auto allowed = readBoolean(registry, hive, base, u"NativeMessagingUserLevelHosts")) {
      state.userLevelHostsAllowed = *allowed;
      if (!*allowed) {
        state.userLevelPolicy = "NativeMessagingUserLevelHosts = 0 under " +
                                registryPlaceText(hive, View::kShared, base);
      }
      break;
    }
  }
  // A host is blocked when the block list names it or holds "*", unless the allow list names it.
  // Lists are keys whose values are the entries; the older names still count where no new one is.
  const WideString name = utf8ToWide(kHostName);
  const auto list = [&](std::initializer_list<const char16_t*> names, std::string& where) {
    for (Hive hive : {Hive::kLocalMachine, Hive::kCurrentUser}) {
      for (const char16_t* policy : names) {
        const WideString listKey = base + u"\\" + policy;
        std::vector<WideString> entries = registry.ReadStrings(hive, View::kShared, listKey);
        if (!entries.empty()) {
          where = registryPlaceText(hive, View::kShared, listKey);
          return entries;
        }
      }
    }
    return std::vector<WideString>{};
  };
  std::string blockWhere;
  std::string allowWhere;
  const std::vector<WideString> blocked =
      list({u"NativeMessagingBlocklist", u"NativeMessagingBlacklist"}, blockWhere);
  const std::vector<WideString> allowed =
      list({u"NativeMessagingAllowlist", u"NativeMessagingWhitelist"}, allowWhere);
  const auto has = [](const std::vector<WideString>& entries, const WideString& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  };
  if ((has(blocked, name) || has(blocked, u"*")) && !has(allowed, name)) {
    state.blocked = true;
    state.blockedBy = blockWhere;
  }
  return state;
}

Registration findRegistration(Browser browser, Registry& registry) {
  Registration found;
  found.policy = readPolicies(browser, registry);
  for (const HostKey& place : searchOrder(browser)) {
    const std::optional<RegistryString> value =
        registry.ReadString(place.hive, place.view, place.key, u"");
    if (!value) continue;
    // Firefox reads a plain string only, and takes an empty one for none.
    if (!chromiumBased(browser) && (value->expandable || value->value.empty())) {
      if (value->expandable) found.unreadable.push_back(place);
      continue;
    }
    if (found.used) {
      found.shadowed.push_back(place);
      continue;
    }
    if (place.hive == Hive::kCurrentUser && !found.policy.userLevelHostsAllowed) {
      found.ignoredPerUser.push_back(place);
      continue;
    }
    found.used = place;
    found.manifest = value->value;
#ifdef _WIN32
    if (value->expandable) {
      wchar_t expanded[1024];
      const DWORD n = ExpandEnvironmentStringsW(
          reinterpret_cast<const wchar_t*>(value->value.c_str()), expanded, 1024);
      if (n > 0 && n <= 1024) found.manifest = wideFromZ(reinterpret_cast<const WCHAR*>(expanded));
    }
#endif
  }
  return found;
}

}  // namespace melvix
