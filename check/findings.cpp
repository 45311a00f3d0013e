#include "check/findings.h"

const char* browserId(Browser browser) {
  switch (browser) {
    case Browser::kChrome:
      return "chrome";
    case Browser::kChromium:
      return "chromium";
    case Browser::kEdge:
      return "edge";
    case Browser::kFirefox:
      break;
  }
  return "firefox";
}

const char* browserName(Browser browser) {
  switch (browser) {
    case Browser::kChrome:
      return "Google Chrome";
    case Browser::kChromium:
      return "Chromium";
    case Browser::kEdge:
      return "Microsoft Edge";
    case Browser::kFirefox:
      break;
  }
  return "Firefox";
}

const char* statusId(Status status) {
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kProblem:
      return "problem";
    case Status::kWarning:
      break;
  }
  return "warning";
}

const char* portStateId(PortState state) {
  switch (state) {
    case PortState::kOk:
      return "ok";
    case PortState::kInUse:
      return "in use";
    case PortState::kFailed:
      break;
  }
  return "failed";
}

bool Report::Ok() const {
  for (const Check& check : checks) {
    if (check.status == Status::kProblem) return false;
  }
  return true;
}
