#include "tests/support/host_session.h"

#include <fstream>
#include <sstream>

#include "tests/support/program_paths.h"

std::string frame(const std::string& text) {
  auto n = static_cast<std::uint32_t>(text.size());
  std::string out;
  out += static_cast<char>(n & 0xFF);
  out += static_cast<char>((n >> 8) & 0xFF);
  out += static_cast<char>((n >> 16) & 0xFF);
  out += static_cast<char>((n >> 24) & 0xFF);
  return out + text;
}

HostSession::HostSession(const std::vector<std::string>& controlLines, bool simulate) {
  std::vector<std::string> env;
  if (simulate) {
    std::ofstream out(dir_ / "control", std::ios::binary);
    for (const auto& line : controlLines) out << line << '\n';
    env.push_back("MELVIX_SIM_DIR=" + dir_.path());
  } else {
    env.push_back("MELVIX_SIM_DIR=");
  }
  child_ = std::make_unique<ChildProcess>(programCommand("MELVIX_HOST"), env);
}

HostSession::~HostSession() = default;

std::optional<std::string> HostSession::readFrame(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  };
  std::string header = child_->read(4, timeout);
  if (header.size() < 4) return std::nullopt;
  std::uint32_t n = 0;
  for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(header[i]);
  std::string text = child_->read(n, std::max(left(), std::chrono::milliseconds(1000)));
  if (text.size() < n) return std::nullopt;
  return text;
}

std::optional<std::string> HostSession::next(std::chrono::milliseconds timeout) {
  if (!setAside_.empty()) {
    std::string text = setAside_.front();
    setAside_.pop_front();
    return text;
  }
  return readFrame(timeout);
}

std::optional<std::string> HostSession::nextStartingWith(const std::string& prefix,
                                                         std::chrono::milliseconds timeout) {
  for (auto it = setAside_.begin(); it != setAside_.end(); ++it) {
    if (it->compare(0, prefix.size(), prefix) == 0) {
      std::string text = *it;
      setAside_.erase(it);
      return text;
    }
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto text = readFrame(left);
    if (!text) return std::nullopt;
    if (text->compare(0, prefix.size(), prefix) == 0) return text;
    setAside_.push_back(*text);
  }
  return std::nullopt;
}

std::optional<std::string> HostSession::request(const std::string& json,
                                                const std::string& command) {
  send(json);
  return nextStartingWith("[\"" + command + "\",");
}

void HostSession::sync() { request("[\"version\"]", "version"); }

std::vector<std::string> HostSession::takeSetAside() {
  std::vector<std::string> out(setAside_.begin(), setAside_.end());
  setAside_.clear();
  return out;
}

void HostSession::control(const std::string& line) {
  std::ofstream out(dir_ / "control", std::ios::binary | std::ios::app);
  out << line << '\n';
}

std::vector<std::string> HostSession::lines(const std::string& file) const {
  std::vector<std::string> out;
  std::ifstream in(dir_ / file, std::ios::binary);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}
