#include "tests/support/program_paths.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

std::vector<std::string> programCommand(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == 0) {
    throw std::runtime_error(std::string("environment variable ") + variable + " is not set");
  }
  std::vector<std::string> words;
  std::istringstream in(value);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}
