// A running melvixhost, talked to exactly as a browser does (frames on its standard streams), with
// its simulated devices driven through a control directory (MELVIX_SIM_DIR).
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"

// A frame: the 4-byte little-endian length, then the text.
std::string frame(const std::string& text);

class HostSession {
 public:
  // Starts the host with `controlLines` already in its control file (so its first look at the
  // devices sees them). With `simulate` false, MELVIX_SIM_DIR stays unset and the embedded default
  // devices serve.
  explicit HostSession(const std::vector<std::string>& controlLines = {}, bool simulate = true);
  ~HostSession();

  void send(const std::string& json) { child_->write(frame(json)); }
  void sendBytes(const std::string& bytes) { child_->write(bytes); }

  // The next frame's text, taking first those that `reply` set aside.
  std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The next frame whose text starts with `prefix` (for example "[\"openin\","); frames before it
  // are kept for `next`.
  std::optional<std::string> nextStartingWith(
      const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a request and returns its reply, found by the command's name.
  std::optional<std::string> request(const std::string& json, const std::string& command);
  // Returns once the host has handled everything sent so far (a "version" round trip).
  void sync();
  // Frames set aside so far, then clears them.
  std::vector<std::string> takeSetAside();

  // Appends a line to the control file.
  void control(const std::string& line);
  // Lines of the simulation's "received", "calls" and "boxes" files.
  std::vector<std::string> received() const { return lines("received"); }
  std::vector<std::string> calls() const { return lines("calls"); }
  std::vector<std::string> boxes() const { return lines("boxes"); }

  ChildProcess& process() { return *child_; }
  const std::string& controlDir() const { return dir_.path(); }

 private:
  std::vector<std::string> lines(const std::string& file) const;
  std::optional<std::string> readFrame(std::chrono::milliseconds timeout);

  ScratchDir dir_;
  std::unique_ptr<ChildProcess> child_;
  std::deque<std::string> setAside_;
};
