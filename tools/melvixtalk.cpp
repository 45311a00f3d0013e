// melvixtalk: talk to melvixhost as a browser would, by hand. Each line typed is sent as one
// frame; every frame the host sends, asked or not, is printed as its JSON text.
//
//   melvixtalk [path-to-melvixhost]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex printing;  // guards std::cout between the reader thread and the prompt

bool readExactly(int fd, char* out, std::size_t n) {
  while (n > 0) {
    ssize_t got = ::read(fd, out, n);
    if (got <= 0) return false;
    out += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Runs on the reader thread: prints each frame the host writes.
void printFrames(int fd) {
  for (;;) {
    unsigned char header[4];
    if (!readExactly(fd, reinterpret_cast<char*>(header), 4)) break;
    std::uint32_t n = header[0] | (header[1] << 8) | (header[2] << 16) |
                      (static_cast<std::uint32_t>(header[3]) << 24);
    std::string text(n, '\0');
    if (!readExactly(fd, text.data(), n)) break;
    std::lock_guard<std::mutex> lock(printing);
    std::cout << "<- " << text << std::endl;
  }
  std::lock_guard<std::mutex> lock(printing);
  std::cout << "(the host's output ended)" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = argc > 1 ? argv[1] : MELVIX_HOST_PATH;
  signal(SIGPIPE, SIG_IGN);
  int toHost[2];
  int fromHost[2];
  if (pipe(toHost) != 0 || pipe(fromHost) != 0) return 1;
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    dup2(toHost[0], 0);
    dup2(fromHost[1], 1);
    close(toHost[1]);
    close(fromHost[0]);
    execl(host.c_str(), host.c_str(), static_cast<char*>(nullptr));
    std::perror(host.c_str());
    _exit(127);
  }
  close(toHost[0]);
  close(fromHost[1]);
  std::thread reader(printFrames, fromHost[0]);

  {
    std::lock_guard<std::mutex> lock(printing);
    std::cout << "Talking to " << host << ". Type one JSON request per line, for example\n"
              << "  [\"version\"]   [\"refresh\"]   [\"openout\",\"Melvix Loopback\"]\n"
              << "  [\"openin\",\"Melvix Loopback\"]   [\"play\",144,60,100]   [\"watch\"]\n"
              << "End with Ctrl-D." << std::endl;
  }
  for (std::string line; std::getline(std::cin, line);) {
    if (line.empty()) continue;
    auto n = static_cast<std::uint32_t>(line.size());
    std::string frame{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                      static_cast<char>((n >> 16) & 0xFF), static_cast<char>(n >> 24)};
    if (!writeAll(toHost[1], frame + line)) break;
    {
      std::lock_guard<std::mutex> lock(printing);
      std::cout << "-> " << line << std::endl;
    }
  }
  close(toHost[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  reader.join();
  std::cout << "melvixhost ended with status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1)
            << std::endl;
  return 0;
}
