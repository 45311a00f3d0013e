// The text of the control directory; see control_lines.h.
#include "platform/sim/control_lines.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

bool parseGuid(const std::string& text, GUID& guid) {
  unsigned a = 0, b = 0, c = 0, d[8] = {};
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0], &d[1],
                  &d[2], &d[3], &d[4], &d[5], &d[6], &d[7]) != 11) {
    return false;
  }
  guid.Data1 = a;
  guid.Data2 = static_cast<WORD>(b);
  guid.Data3 = static_cast<WORD>(c);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(d[i]);
  return true;
}

}  // namespace

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size() || line[i] == '#') break;
    std::string word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] != '"') {
        word += line[i++];
        continue;
      }
      ++i;
      std::u16string units;
      std::string bytes;
      auto flush = [&] {
        word += utf8(units) + bytes;
        units.clear();
        bytes.clear();
      };
      while (i < line.size() && line[i] != '"') {
        if (line[i] == '\\' && i + 1 < line.size()) {
          char e = line[i + 1];
          i += 2;
          if (e == 'u' && i + 4 <= line.size()) {
            if (!bytes.empty()) flush();
            units.push_back(
                static_cast<char16_t>(std::strtoul(line.substr(i, 4).c_str(), nullptr, 16)));
            i += 4;
            continue;
          }
          if (!units.empty()) flush();
          bytes += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
          continue;
        }
        if (!units.empty()) flush();
        bytes += line[i++];
      }
      flush();
      if (i < line.size()) ++i;  // the closing quotation mark
    }
    words.push_back(word);
  }
  return words;
}

bool parseNumber(const std::string& text, unsigned long& value, int base) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, base);
  return end != nullptr && *end == 0;
}

bool parseHexBytes(const std::vector<std::string>& words, std::size_t from,
                   std::vector<BYTE>& out) {
  for (std::size_t i = from; i < words.size(); ++i) {
    unsigned long b = 0;
    if (!parseNumber(words[i], b, 16) || b > 0xFF) return false;
    out.push_back(static_cast<BYTE>(b));
  }
  return true;
}

bool parseDirection(const std::string& word, Direction& d) {
  if (word == "out") {
    d = Direction::kOut;
  } else if (word == "in") {
    d = Direction::kIn;
  } else {
    return false;
  }
  return true;
}

bool parseFault(const std::string& word, Fault& fault) {
  static const std::pair<const char*, Fault> kFaults[] = {
      {"getdevcaps", Fault::kGetDevCaps}, {"open", Fault::kOpen},
      {"prepare", Fault::kPrepareHeader}, {"longmsg", Fault::kLongMsg},
      {"shortmsg", Fault::kShortMsg},     {"stillplaying", Fault::kStillPlaying},
      {"start", Fault::kStart},           {"addbuffer", Fault::kAddBuffer},
      {"reset", Fault::kReset},           {"close", Fault::kClose},
      {"closefrees", Fault::kCloseFrees}, {"getid", Fault::kGetId},
  };
  for (const auto& [name, value] : kFaults) {
    if (word == name) {
      fault = value;
      return true;
    }
  }
  return false;
}

bool parseDevice(Direction d, const std::vector<std::string>& words, DeviceSpec& profile) {
  if (words.size() < 2) return false;
  profile = DeviceSpec{};
  profile.name = u16(words[1]);
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    auto eq = w.find('=');
    std::string key = w.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : w.substr(eq + 1);
    unsigned long n = 0;
    if (key == "mid" && parseNumber(value, n) && n <= 0xFFFF) {
      profile.mid = static_cast<WORD>(n);
    } else if (key == "version" && parseNumber(value, n)) {
      profile.driverVersion = static_cast<DWORD>(n);
    } else if (key == "guid" && parseGuid(value, profile.manufacturerGuid)) {
    } else if (key == "regname") {
      profile.registryName = u16(value);
    } else if (key == "loopback" && d == Direction::kOut) {
      profile.loopback = true;
    } else if (key == "bits" && (value == "32" || value == "64")) {
      profile.bits = value == "32" ? 32 : 64;
    } else {
      return false;
    }
  }
  return true;
}

bool servedToThisProgram(const DeviceSpec& profile) {
  return profile.bits == 0 || profile.bits == 8 * sizeof(void*);
}

std::vector<std::pair<Direction, DeviceSpec>> defaultDevices() {
  DeviceSpec synth;
  synth.name = u"Melvix Synth";
  synth.mid = 1;
  synth.driverVersion = 0x0501;
  DeviceSpec loopOut;
  loopOut.name = u"Melvix Loopback";
  loopOut.mid = 0;
  loopOut.driverVersion = 0x0100;
  loopOut.manufacturerGuid =
      GUID{0x6d656c76, 0x6978, 0x4d49, {0x80, 0x44, 0x4c, 0x6f, 0x6f, 0x70, 0x62, 0x6b}};
  loopOut.registryName = u"Melvix Virtual Cables";
  loopOut.loopback = true;
  DeviceSpec loopIn = loopOut;
  loopIn.loopback = false;
  return {{Direction::kOut, synth}, {Direction::kOut, loopOut}, {Direction::kIn, loopIn}};
}

std::string quoted(const std::u16string& name) {
  std::string utf = utf8(name);
  std::string out = "\"";
  for (unsigned char c : utf) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      static const char* kHex = "0123456789abcdef";
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string hexBytes(const std::vector<BYTE>& bytes) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (BYTE b : bytes) {
    if (!out.empty()) out += ' ';
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::u16string u16(const std::string& utf8Text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < utf8Text.size()) {
    auto c = static_cast<unsigned char>(utf8Text[i]);
    char32_t cp = 0;
    std::size_t extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else {
      cp = c & 0x07;
      extra = 3;
    }
    ++i;
    for (std::size_t k = 0; k < extra && i < utf8Text.size(); ++k, ++i) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8Text[i]) & 0x3F);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf8(const std::u16string& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace sim
