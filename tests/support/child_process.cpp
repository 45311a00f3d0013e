#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& workDir) {
  // A test writes to a host that may have ended; that must not end the test.
  signal(SIGPIPE, SIG_IGN);
  int toChild[2];
  int fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[0]);
    close(toChild[1]);
    close(fromChild[0]);
    close(fromChild[1]);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
}

ChildProcess::~ChildProcess() {
  closeInput();
  closeOutput();
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::closeOutput() {
  if (out_ >= 0) close(out_);
  out_ = -1;
}

void ChildProcess::closeInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

std::string ChildProcess::read(std::size_t count, std::chrono::milliseconds timeout) {
  std::string got;
  auto deadline = Clock::now() + timeout;
  char buf[65536];
  while (got.size() < count) {
    pollfd p{out_, POLLIN, 0};
    int r = poll(&p, 1, remainingMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    std::size_t want = std::min(sizeof buf, count - got.size());
    ssize_t n = ::read(out_, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

std::string ChildProcess::readAll(std::chrono::milliseconds timeout) {
  return read(static_cast<std::size_t>(-1), timeout);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (reaped_) return status_;
  auto deadline = Clock::now() + timeout;
  int st = 0;
  for (;;) {
    rusage usage{};
    pid_t r = wait4(pid_, &st, WNOHANG, &usage);
    if (r == pid_) {
      maxRssKb_ = usage.ru_maxrss;
      break;
    }
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
      reaped_ = true;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reaped_ = true;
  if (WIFEXITED(st)) status_ = WEXITSTATUS(st);
  return status_;
}

bool ChildProcess::running() {
  if (reaped_) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r != pid_) return true;
  reaped_ = true;
  if (WIFEXITED(st)) status_ = WEXITSTATUS(st);
  return false;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input,
                     const std::vector<std::string>& env, const std::string& workDir) {
  ChildProcess child(argv, env, workDir);
  // Feed the input from another thread so that a program that writes much cannot block us both.
  std::thread feeder([&] {
    child.write(input);
    child.closeInput();
  });
  RunResult result;
  result.output = child.readAll(std::chrono::seconds(60));
  feeder.join();
  auto status = child.wait(std::chrono::seconds(10));
  result.status = status ? *status : -1;
  return result;
}
