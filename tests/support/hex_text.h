// Bytes as "90 3c 7f " for the messages of failing test cases.
#pragma once

#include <cstdio>
#include <string>

template <typename Bytes>
std::string hexText(const Bytes& bytes) {
  std::string out;
  char text[4];
  for (auto b : bytes) {
    std::snprintf(text, sizeof text, "%02x ", static_cast<unsigned>(static_cast<unsigned char>(b)));
    out += text;
  }
  return out;
}
