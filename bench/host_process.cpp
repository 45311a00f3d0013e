#include "bench/host_process.h"

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

std::string frame(const std::string& text) {
  const auto n = static_cast<std::uint32_t>(text.size());
  std::string out{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                  static_cast<char>((n >> 16) & 0xFF), static_cast<char>(n >> 24)};
  return out + text;
}

void pinToCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

HostProcess::HostProcess(const std::string& program, const std::optional<std::string>& control,
                         int cpu) {
  if (control) {
    char pattern[] = "/tmp/melvix-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::ofstream(dir_ + "/control") << *control;
  }
  // The environment is made before the fork: the child only execs.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "MELVIX_SIM_DIR=", 15) != 0) env.emplace_back(*e);
  }
  if (control) env.push_back("MELVIX_SIM_DIR=" + dir_);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int toHost[2];
  int fromHost[2];
  if (pipe(toHost) != 0) return;
  if (pipe(fromHost) != 0) {
    close(toHost[0]);
    close(toHost[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    if (cpu >= 0) pinToCpu(cpu);
    dup2(toHost[0], 0);
    dup2(fromHost[1], 1);
    for (int fd : {toHost[0], toHost[1], fromHost[0], fromHost[1]}) close(fd);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    execve(program.c_str(), argv, envp.data());
    _exit(127);
  }
  close(toHost[0]);
  close(fromHost[1]);
  if (pid_ < 0) {
    close(toHost[1]);
    close(fromHost[0]);
    return;
  }
  in_ = toHost[1];
  out_ = fromHost[0];
}

HostProcess::~HostProcess() {
  if (in_ >= 0) close(in_);
  if (pid_ > 0) {
    for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (!dir_.empty()) {
    for (const char* f :
         {"control", "calls", "received", "boxes", "delivered", "waits", "requeued"}) {
      std::remove((dir_ + "/" + f).c_str());
    }
    rmdir(dir_.c_str());
  }
}

void HostProcess::control(const std::string& line) const {
  std::ofstream(dir_ + "/control", std::ios::app) << line << '\n';
}

}  // namespace bench
