// What the device watch costs a host that has nothing else to do: melvixhost with 32 simulated
// ports (16 inputs, 16 outputs) idles for a while, not watching, watching, with an input and an
// output open, and with an open input whose device has been pulled out (the host looks for its
// return), and the CPU time it spends is read from /proc. The host that does nothing is the
// reference.
//
//   watcher_idle_bench [--seconds N] [--host PATH]
//
// The host is MELVIX_HOST if set, else the one built with this program. Only a host that cannot be
// started or does not answer fails the run; a slow figure never does.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/host_process.h"

namespace {

using bench::frame;
using Clock = std::chrono::steady_clock;

constexpr int kPortsPerDirection = 16;

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown CPU";
}

// A process's CPU time so far, two ways: utime + stime of /proc/<pid>/stat (in clock ticks, for
// all its threads) and the sum of its threads' scheduler run times (nanoseconds, finer).
struct CpuTime {
  double statSeconds = 0;
  double schedSeconds = 0;
  bool haveSched = false;
};

CpuTime cpuTime(pid_t pid) {
  CpuTime t;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which is in parentheses and may hold blanks.
  const auto close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
      if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    t.statSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = opendir(tasks.c_str())) {
    unsigned long long ns = 0;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream sched(tasks + "/" + entry->d_name + "/schedstat");
      unsigned long long run = 0;
      if (sched >> run) {
        ns += run;
        t.haveSched = true;
      }
    }
    closedir(dir);
    t.schedSeconds = static_cast<double>(ns) / 1e9;
  }
  return t;
}

// The lines of a control file that plug in kPortsPerDirection inputs and outputs.
std::string benchPorts() {
  std::string lines;
  for (int i = 0; i < kPortsPerDirection; ++i) {
    lines += "in \"Bench In " + std::to_string(i) + "\"\n";
    lines += "out \"Bench Out " + std::to_string(i) + "\"\n";
  }
  return lines;
}

// melvixhost on its own simulated devices, with pipes on its standard streams.
class Host {
 public:
  explicit Host(const std::string& program)
      : process_(program, benchPorts()), in_(process_.input()), out_(process_.output()) {}

  pid_t pid() const { return process_.pid(); }
  void control(const std::string& line) const { process_.control(line); }

  bool send(const std::string& json) {
    const std::string bytes = frame(json);
    return process_.started() &&
           write(in_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads frames until one starts with `prefix`; false if none comes within a few seconds.
  bool awaitReply(const std::string& prefix) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string buffer;
    while (Clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
      while (buffer.size() >= 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(buffer.data());
        const std::size_t length = b[0] | b[1] << 8 | b[2] << 16 | std::size_t{b[3]} << 24;
        if (buffer.size() < 4 + length) break;
        if (buffer.compare(4, prefix.size(), prefix) == 0) return true;
        buffer.erase(0, 4 + length);
      }
    }
    return false;
  }

 private:
  bench::HostProcess process_;
  const int in_;
  const int out_;
};

struct Share {
  bool ok = false;
  double stat = 0;   // share of one core from utime + stime
  double sched = 0;  // the same from the threads' run times
  bool haveSched = false;
};

enum class Idle { kNothing, kWatching, kPortsOpen, kPortAway };

// Starts a host, has it list its ports (so that everything it starts on first use runs), puts it
// in the state asked for, lets it settle, then measures what it uses while idle for `seconds`.
Share measure(const std::string& program, Idle idle, double seconds) {
  Host host(program);
  Share share;
  if (!host.send("[\"refresh\"]") || !host.awaitReply("[\"refresh\",")) return share;
  if (idle == Idle::kWatching && !host.send("[\"watch\"]")) return share;
  if (idle == Idle::kPortsOpen || idle == Idle::kPortAway) {
    if (!host.send("[\"openin\",\"Bench In 0\"]") || !host.awaitReply("[\"openin\",")) return share;
    if (!host.send("[\"openout\",\"Bench Out 0\"]") || !host.awaitReply("[\"openout\",")) {
      return share;
    }
  }
  if (idle == Idle::kPortAway) host.control("remove in \"Bench In 0\"");
  if (!host.send("[\"version\"]") || !host.awaitReply("[\"version\",")) return share;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const CpuTime before = cpuTime(host.pid());
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const CpuTime after = cpuTime(host.pid());
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();

  share.ok = true;
  share.stat = (after.statSeconds - before.statSeconds) / wall;
  share.sched = (after.schedSeconds - before.schedSeconds) / wall;
  share.haveSched = before.haveSched && after.haveSched;
  return share;
}

void printLine(const char* what, double share) {
  std::printf("  %-30s %7.3f%% of one core\n", what, share * 100);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  const char* fromEnv = std::getenv("MELVIX_HOST");
  std::string program = fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : MELVIX_HOST_PATH;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--host") == 0) program = argv[i + 1];
  }
  if (seconds <= 0) seconds = 5;

  std::printf("machine: %ld CPUs online, %s\n", sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());
  std::printf("host: %s\n", program.c_str());
  std::printf("idle host with %d simulated ports (%d in, %d out), %.1f s each\n",
              2 * kPortsPerDirection, kPortsPerDirection, kPortsPerDirection, seconds);

  const struct {
    Idle idle;
    const char* name;
  } states[] = {{Idle::kNothing, "reference, nothing open"},
                {Idle::kWatching, "watching"},
                {Idle::kPortsOpen, "an input and an output open"},
                {Idle::kPortAway, "an open input pulled out"}};
  Share shares[4];
  for (int i = 0; i < 4; ++i) {
    shares[i] = measure(program, states[i].idle, seconds);
    if (!shares[i].ok) {
      std::fprintf(stderr, "the host did not start or did not answer (%s)\n", states[i].name);
      return 1;
    }
  }
  bool haveSched = true;
  for (const Share& share : shares) haveSched = haveSched && share.haveSched;

  std::printf("from utime + stime (/proc/<pid>/stat, %ld ticks a second):\n", sysconf(_SC_CLK_TCK));
  for (int i = 0; i < 4; ++i) printLine(states[i].name, shares[i].stat);
  const Share& reference = shares[0];
  if (haveSched) {
    std::printf("from the threads' run times (/proc/<pid>/task/*/schedstat, nanoseconds):\n");
    for (int i = 0; i < 4; ++i) printLine(states[i].name, shares[i].sched);
    for (int i = 1; i < 4; ++i) {
      if (reference.sched > 0) {
        std::printf("  ratio %s / reference: %.2f\n", states[i].name,
                    shares[i].sched / reference.sched);
      }
    }
  } else if (reference.stat > 0) {
    for (int i = 1; i < 4; ++i) {
      std::printf("  ratio %s / reference: %.2f\n", states[i].name,
                  shares[i].stat / reference.stat);
    }
  }
  return 0;
}
