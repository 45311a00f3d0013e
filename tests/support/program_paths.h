// Where the programs under test are. The build names them through the environment; a run against
// other builds of the same programs (for example under Wine) sets the variables itself.
#pragma once

#include <string>
#include <vector>

// The command line that starts a program: the value of `variable`, split at blanks (so that it may
// name an interpreter first, as in "wine melvixhost.exe"), or else the program built here.
std::vector<std::string> programCommand(const char* variable);
