#include "tests/support/program_paths.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

// The programs built with the tests, by the name of the variable that can override them.
const char* builtProgram(const std::string& variable) {
#ifdef BUILT_MELVIXHOST
  if (variable == "MELVIX_HOST") return BUILT_MELVIXHOST;
#endif
#ifdef BUILT_MELVIXREG
  if (variable == "MELVIX_REG") return BUILT_MELVIXREG;
#endif
#ifdef BUILT_MELVIXPLAY
  if (variable == "MELVIX_PLAY") return BUILT_MELVIXPLAY;
#endif
#ifdef BUILT_MELVIXCHECK
  if (variable == "MELVIX_CHECK") return BUILT_MELVIXCHECK;
#endif
  return nullptr;
}

}  // namespace

std::vector<std::string> programCommand(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == 0) value = builtProgram(variable);
  if (value == nullptr) {
    throw std::runtime_error(std::string("environment variable ") + variable + " is not set");
  }
  std::vector<std::string> words;
  std::istringstream in(value);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool underWine() {
  for (const char* variable : {"MELVIX_HOST", "MELVIX_REG", "MELVIX_PLAY"}) {
    // "wine", "wine64" or a loader's path such as /usr/lib/wine/wine64.
    const std::string program = programCommand(variable).front();
    const std::string name = program.substr(program.find_last_of('/') + 1);
    if (name == "wine" || name == "wine64") return true;
  }
  return false;
}
