// Checks on the JSON texts that the host writes: whether a text is one well-formed JSON value, and
// the parts of a "midi" message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// True when `text` is exactly one JSON value (RFC 8259), with nothing but white space around it.
bool isJson(const std::string& text);

// A "midi" message, ["midi",t,b1,...,bn]: its clock and bytes.
struct MidiFrame {
  std::uint32_t time = 0;
  std::vector<unsigned char> bytes;
};
// Parses `text` in the exact form the host writes (no blanks, plain decimal numbers, each byte 0 to
// 255, at least one byte); false for anything else.
bool parseMidiFrame(const std::string& text, MidiFrame& frame);
