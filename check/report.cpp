#include "check/report.h"

#include <cstdio>

#include "check/manifest_check.h"
#include "host/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace melvix {

namespace {

std::string portLine(const PortCheck& port) {
  std::string line =
      "  " + port.name + " (" + port.manufacturer + ", driver " + port.version + "): ";
  if (port.state == PortState::kOk) return line + "can be opened";
  if (port.state == PortState::kInUse) return line + "in use by another program";
  return line + "cannot be opened (" + port.error + ")";
}

std::string portJson(const PortCheck& port) {
  std::string json = "{\"name\":" + quoteJson(port.name) +
                     ",\"state\":" + quoteJson(portStateId(port.state)) +
                     ",\"manufacturer\":" + quoteJson(port.manufacturer) +
                     ",\"version\":" + quoteJson(port.version);
  if (!port.error.empty()) json += ",\"error\":" + quoteJson(port.error);
  return json + "}";
}

// {"path":...,"machine":"x86-64","bits":64,"version":"1.5","browsers":["chrome",...],
//  "answered":true,"outs":[names],"ins":[names]}
std::string hostJson(const InstalledHost& host) {
  const auto names = [](const std::vector<std::string>& list) {
    std::string json = "[";
    for (std::size_t i = 0; i < list.size(); ++i) json += (i > 0 ? "," : "") + quoteJson(list[i]);
    return json + "]";
  };
  std::vector<std::string> browsers;
  for (Browser browser : host.startedBy) browsers.push_back(browserId(browser));
  const unsigned bits = machineBits(host.file.machine);
  return "{\"path\":" + quoteJson(pathText(host.path)) +
         ",\"machine\":" + quoteJson(bits == 0 ? "" : machineText(host.file.machine)) +
         ",\"bits\":" + std::to_string(bits) + ",\"version\":" + quoteJson(host.file.fileVersion) +
         ",\"browsers\":" + names(browsers) +
         ",\"answered\":" + (host.answered ? "true" : "false") + ",\"outs\":" + names(host.outs) +
         ",\"ins\":" + names(host.ins) + "}";
}

}  // namespace

std::string reportText(const Report& report) {
  std::string text = "Melvix MIDI host: what a browser finds\n";
  for (Status status : {Status::kProblem, Status::kWarning, Status::kOk}) {
    bool any = false;
    for (const Check& check : report.checks) {
      if (check.status() != status) continue;
      if (!any) {
        text += status == Status::kProblem   ? "\nProblems:\n"
                : status == Status::kWarning ? "\nWarnings:\n"
                                             : "\nIn order:\n";
        any = true;
      }
      text += "- ";
      if (check.browser) text += std::string("[") + browserName(*check.browser) + "] ";
      text += check.what + "\n";
      if (!check.fix.empty()) text += "  What to do: " + check.fix + "\n";
    }
  }
  const auto ports = [&](const char* heading, const std::vector<PortCheck>& list) {
    text += heading;
    for (const PortCheck& port : list) text += portLine(port) + "\n";
    if (list.empty()) text += "  none\n";
  };
  ports("\nMIDI outputs:\n", report.outs);
  ports("MIDI inputs:\n", report.ins);
  text += "\nTrace: ";
  text += report.traceOn ? "on" : "off";
  if (!report.traceLog.empty()) text += "; the host writes it to " + report.traceLog;
  text += report.traceOn ? ". Switch it off with: melvixcheck --trace off\n"
                         : ". Switch it on with: melvixcheck --trace on\n";
  text += report.Ok() ? "\nEverything a browser needs is in order.\n"
                      : "\nA browser cannot use Melvix as it is: see the problems above.\n";
  return text;
}

std::string reportJson(const Report& report) {
  std::string json = "{\"ok\":";
  json += report.Ok() ? "true" : "false";
  json += ",\"checks\":[";
  for (std::size_t i = 0; i < report.checks.size(); ++i) {
    const Check& check = report.checks[i];
    if (i > 0) json += ",";
    json += "{\"id\":" + quoteJson(checkKind(check.id).name) + ",\"browser\":";
    json += check.browser ? quoteJson(browserId(*check.browser)) : "null";
    json += ",\"status\":" + quoteJson(statusId(check.status()));
    json += ",\"what\":" + quoteJson(check.what) + ",\"fix\":" + quoteJson(check.fix) + "}";
  }
  const auto ports = [&](const std::vector<PortCheck>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) json += (i > 0 ? "," : "") + portJson(list[i]);
  };
  json += "],\"hosts\":[";
  for (std::size_t i = 0; i < report.hosts.size(); ++i) {
    json += (i > 0 ? "," : "") + hostJson(report.hosts[i]);
  }
  json += "],\"ports\":{\"outs\":[";
  ports(report.outs);
  json += "],\"ins\":[";
  ports(report.ins);
  json += "]},\"trace\":{\"on\":";
  json += report.traceOn ? "true" : "false";
  json += ",\"log\":" + quoteJson(report.traceLog) + "}}\n";
  return json;
}

void printText(const std::string& utf8) {
#ifdef _WIN32
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    const WideString wide = utf8ToWide(utf8);
    DWORD written = 0;
    WriteConsoleW(out, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

}  // namespace melvix
