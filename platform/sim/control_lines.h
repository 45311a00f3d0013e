// The text of the control directory, shared by the simulation and by the MIDI driver that serves
// the same lines under Wine: the words of a control line, the device a plug-in line describes,
// and names and bytes as the "calls" and "received" files write them. Nothing here touches the
// device set, so it builds for any system.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_control.h"

namespace sim {

// The words of a control line: blanks separate them, `#` starts a comment, and a quoted part is
// decoded (JSON escapes), so names may hold blanks, quotation marks and any character.
std::vector<std::string> splitWords(const std::string& line);

// A whole word as a number (base 0: decimal, 0x hexadecimal or 0 octal).
bool parseNumber(const std::string& text, unsigned long& value, int base = 0);
// words[from..] as bytes in hexadecimal.
bool parseHexBytes(const std::vector<std::string>& words, std::size_t from, std::vector<BYTE>& out);
bool parseDirection(const std::string& word, Direction& d);
bool parseFault(const std::string& word, Fault& fault);
// `out "Name" [mid=N] [version=N] [guid={...}] [regname="Maker"] [loopback] [bits=32|64]` or
// `in ...`: the device it plugs in.
bool parseDevice(Direction d, const std::vector<std::string>& words, DeviceSpec& profile);
// Whether this program sees the device: its `bits` are none or the program's own.
bool servedToThisProgram(const DeviceSpec& profile);

// The embedded default devices.
std::vector<std::pair<Direction, DeviceSpec>> defaultDevices();

// The device's name as it appears in the call log and the received file: a quoted string.
std::string quoted(const std::u16string& name);
std::string hexBytes(const std::vector<BYTE>& bytes);

}  // namespace sim
