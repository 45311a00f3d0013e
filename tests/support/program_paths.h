// Where the programs under test are. The build names them through the environment; a run against
// other builds of the same programs (for example under Wine) sets the variables itself.
#pragma once

#include <string>
#include <vector>

// The command line that starts a program: the value of `variable`, split at blanks (so that it may
// name an interpreter first, as in "wine melvixhost.exe"), or else the program built here.
std::vector<std::string> programCommand(const char* variable);

// Whether the programs under test are Windows executables run by Wine (on Wine's own WinMM, with
// the test driver of tests/wine serving the devices).
bool underWine();
// Whether a message box the host shows reaches the control directory's "boxes" file: the
// simulation records each; Wine without a display shows none (MessageBox returns at once).
inline bool boxesRecorded() { return !underWine(); }
