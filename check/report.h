// melvixcheck's findings as a person reads them, and as one JSON object for a program.
#pragma once

#include <string>

#include "check/findings.h"

namespace melvix {

std::string reportText(const Report& report);
// {"ok": ..., "checks": [...], "hosts": [...], "ports": {"outs": [...], "ins": [...]},
//  "trace": {...}}
std::string reportJson(const Report& report);

// Writes UTF-8 text to standard output: to a console as UTF-16, so that names and paths show
// whatever the console's code page, elsewhere (a pipe, a file) as it is.
void printText(const std::string& utf8);

}  // namespace melvix
