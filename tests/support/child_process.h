// Runs a built program with pipes on its standard input and output, as a browser runs a
// native-messaging host. Standard error is passed through to the test's own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // `argv[0]` is the program; `env` entries ("NAME=value") are added to the test's environment.
  // Set `workDir` to run the program in another directory.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
               const std::string& workDir = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool write(const std::string& bytes);
  // Ends the program's standard input.
  void closeInput();
  // Reads exactly `count` bytes, or fewer when the output ends or the time runs out.
  std::string read(std::size_t count, std::chrono::milliseconds timeout);
  // Reads whatever arrives until the output ends or the time runs out.
  std::string readAll(std::chrono::milliseconds timeout);
  // Waits for the program to end; returns its exit status, or nothing when it was killed by a
  // signal or did not end in time (it is then killed).
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();
  pid_t pid() const { return pid_; }
  // Stops reading the program's output, as a peer that has gone away.
  void closeOutput();
  // The most memory the program ever held, in KiB; known once it has been waited for.
  long maxResidentKb() const { return maxRssKb_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::optional<int> status_;
  bool reaped_ = false;
  long maxRssKb_ = -1;
};

// Runs a program to its end with `input` on its standard input; returns its exit status (-1 when
// it did not end normally) and its standard output.
struct RunResult {
  int status = -1;
  std::string output;
};
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input,
                     const std::vector<std::string>& env = {}, const std::string& workDir = "");
