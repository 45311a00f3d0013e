// A host program started on pipes for a benchmark: its standard input and output are ours, and with
// a control directory of its own it serves simulated devices from there (MELVIX_SIM_DIR). The
// benchmarks that run a host share this; what they send and how they read stays theirs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace bench {

// `text` with the host's frame header in front: its length, 4 bytes, lowest first.
std::string frame(const std::string& text);

// Runs the calling thread, and the threads and processes it starts from now on, on that CPU alone.
void pinToCpu(int cpu);

class HostProcess {
 public:
  // `control`: the first lines of a control directory made for this host alone, which goes with
  // it; none, and the host gets no MELVIX_SIM_DIR at all. `cpu` >= 0 pins the host to that CPU.
  HostProcess(const std::string& program, const std::optional<std::string>& control, int cpu = -1);
  // Closes the host's input, which ends it; it is given two seconds before it is killed.
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // False when the directory, the pipes or the process could not be made.
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  int input() const { return in_; }    // the host's standard input
  int output() const { return out_; }  // the host's standard output

  // Appends a line to the control file.
  void control(const std::string& line) const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

}  // namespace bench
