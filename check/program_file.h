// What a Windows program file says of itself without being run: the processor it was built for
// (the machine field of its PE header) and its version (its version resource). Read from the
// file's bytes, so that it reads alike on every system, the built programs and bytes made up in a
// test alike.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace melvix {

enum class Machine { kNone, kX86, kX64, kArm64, kOther };

struct ProgramFile {
  Machine machine = Machine::kNone;  // kNone: not a Windows program
  // The version resource's FileVersion and ProductVersion texts; empty where it has none.
  std::string fileVersion;
  std::string productVersion;
};

ProgramFile readProgram(const std::string& bytes);
// Nothing when the file cannot be read.
std::optional<ProgramFile> readProgramFile(const std::filesystem::path& file);

// "32-bit x86", "x86-64", "ARM64", "another processor", "not a Windows program".
const char* machineText(Machine machine);
// 32 or 64; 0 when it is not a Windows program for a processor named here.
unsigned machineBits(Machine machine);

}  // namespace melvix
