#include "check/host_probe.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "check/browser_lookup.h"
#include "check/json_value.h"
#include "check/manifest_check.h"
#include "host/frame_reader.h"
#include "host/frame_writer.h"
#include "host/text_encoding.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace melvix {

namespace {

using Clock = std::chrono::steady_clock;

// Browsers refuse a message of more than 1 MiB from a host.
constexpr std::uint32_t kMostFrame = 1u << 20;
// How long the host may take to answer: starting a program can take a while on a loaded machine.
constexpr auto kAnswerTime = std::chrono::seconds(5);
// How soon after its input ends the host must have ended.
constexpr auto kEndTime = std::chrono::seconds(1);

// The names of one direction of a ["refresh"] reply.
std::vector<std::string> portNames(const JsonValue& reply, const char* direction) {
  std::vector<std::string> names;
  if (!reply.IsArray() || reply.items.size() < 2) return names;
  const JsonValue* ports = reply.items[1].Member(direction);
  if (ports == nullptr || !ports->IsArray()) return names;
  for (const JsonValue& port : ports->items) {
    const JsonValue* name = port.Member("name");
    if (name != nullptr && name->IsString()) names.push_back(name->text);
  }
  return names;
}

// A running host with pipes on its standard streams; a reader thread of each kind of child hands
// what the host writes to Collect() as it comes.
class Child {
 public:
  virtual ~Child() = default;
  virtual bool Write(const std::string& bytes) = 0;
  // Everything read so far; waits until `enough` says it is enough, the output ends or `limit`.
  std::string ReadUntil(const std::function<bool(const std::string&)>& enough,
                        Clock::time_point limit, bool& ended) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, limit, [&] { return ended_ || enough(bytes_); });
    ended = ended_;
    return bytes_;
  }
  virtual void CloseInput() = 0;
  // The exit status once it ended within `limit`; nothing when it did not (it is then killed).
  virtual std::optional<unsigned long> Wait(Clock::duration limit) = 0;

 protected:
  // Called on the reader thread only.
  void Collect(const char* chunk, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.append(chunk, n);
    changed_.notify_all();
  }
  void EndOfOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;  // guards bytes_ and ended_
  std::condition_variable changed_;
  std::string bytes_;
  bool ended_ = false;
};

#ifdef _WIN32
std::wstring quoted(const std::wstring& argument) { return L"\"" + argument + L"\""; }

std::string systemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = "error " + std::to_string(error);
  if (n > 0 && text != nullptr) {
    std::wstring wide(text, n);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) {
      wide.pop_back();
    }
    message = wideToUtf8(WideString(wide.begin(), wide.end())) + " (" + message + ")";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

class WindowsChild : public Child {
 public:
  // Empty `startError` when the program started.
  WindowsChild(std::wstring commandLine, const std::wstring& application,
               const std::wstring& folder, std::string& startError) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    if (!CreatePipe(&childIn, &in_, &inherit, 0) || !CreatePipe(&out_, &childOut, &inherit, 0)) {
      startError = systemMessage(GetLastError());
      return;
    }
    SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    // Started suspended into a job of its own: cmd.exe starts the host as its own child, and a host
    // that does not end must be ended with it, or its copy of the output pipe keeps the reader
    // thread (and so melvixcheck) waiting for ever.
    job_ = CreateJobObjectW(nullptr, nullptr);
    const BOOL started = CreateProcessW(
        application.empty() ? nullptr : application.c_str(), &commandLine[0], nullptr, nullptr,
        TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.c_str(), &startup, &process);
    const DWORD error = GetLastError();
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
      startError = systemMessage(error);
      return;
    }
    if (job_ != nullptr) AssignProcessToJobObject(job_, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    reader_ = std::thread([this] { Read(); });
  }

  ~WindowsChild() override {
    CloseInput();
    if (process_ != nullptr) {
      if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) End();
      CloseHandle(process_);
    }
    // Whatever the program started and left running goes too, so that the output pipe ends.
    if (job_ != nullptr) {
      TerminateJobObject(job_, 1);
      CloseHandle(job_);
    }
    if (out_ != nullptr) CloseHandle(out_);
    if (reader_.joinable()) reader_.join();
  }

  bool Write(const std::string& bytes) override {
    DWORD written = 0;
    return in_ != nullptr &&
           WriteFile(in_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }

  void CloseInput() override {
    if (in_ != nullptr) CloseHandle(in_);
    in_ = nullptr;
  }

  std::optional<unsigned long> Wait(Clock::duration limit) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    if (WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
      End();
      return std::nullopt;
    }
    DWORD status = 0;
    GetExitCodeProcess(process_, &status);
    return status;
  }

 private:
  void End() {
    if (job_ == nullptr || !TerminateJobObject(job_, 1)) TerminateProcess(process_, 1);
  }

  // Runs on the reader thread until the host's output ends.
  void Read() {
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(out_, chunk, sizeof chunk, &n, nullptr) && n > 0) Collect(chunk, n);
    EndOfOutput();
  }

  HANDLE in_ = nullptr;
  HANDLE out_ = nullptr;
  HANDLE process_ = nullptr;
  HANDLE job_ = nullptr;  // the program and what it starts
  std::thread reader_;
};

std::unique_ptr<Child> start(Browser browser, const std::filesystem::path& host,
                             const std::filesystem::path& manifest, std::string& startError) {
  const std::wstring program = host.native();
  const std::wstring folder = host.parent_path().native();
  if (!chromiumBased(browser)) {
    // Firefox: the program itself, with the manifest's path and the add-on's id.
    std::wstring line =
        quoted(program) + L" " + quoted(manifest.native()) + L" " +
        std::wstring(kFirefoxExtension, kFirefoxExtension + sizeof kFirefoxExtension - 1);
    return std::make_unique<WindowsChild>(line, program, folder, startError);
  }
  // Chrome, Chromium and Edge start a host through cmd.exe, which sees every character of its
  // path: quoted, the way they quote it.
  wchar_t shell[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"COMSPEC", shell, MAX_PATH);
  const std::wstring cmd = n > 0 && n < MAX_PATH ? std::wstring(shell, n) : L"cmd.exe";
  const std::wstring origin(kChromeOrigin, kChromeOrigin + sizeof kChromeOrigin - 1);
  const std::wstring command = quoted(program) + L" " + origin + L" --parent-window=0";
  std::wstring line = quoted(cmd) + L" /d /s /c \"" + command + L"\"";
  return std::make_unique<WindowsChild>(line, cmd, folder, startError);
}
#else
std::string systemMessage(int error) {
  return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

class PosixChild : public Child {
 public:
  // Empty `startError` when the program started.
  PosixChild(const std::vector<std::string>& argv, const std::string& folder,
             std::string& startError) {
    int toHost[2] = {-1, -1};
    int fromHost[2] = {-1, -1};
    // Written by the child only when exec fails: why it failed, as CreateProcess would say.
    int execFailed[2] = {-1, -1};
    if (pipe2(toHost, O_CLOEXEC) != 0 || pipe2(fromHost, O_CLOEXEC) != 0 ||
        pipe2(execFailed, O_CLOEXEC) != 0) {
      startError = systemMessage(errno);
      for (int fd : {toHost[0], toHost[1], fromHost[0], fromHost[1], execFailed[0]}) closeFd(fd);
      return;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int nul = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
      // Nothing but async-signal-safe calls until exec: the parent has threads. A process group of
      // its own, like the job on Windows, so that what the host starts ends with it.
      setpgid(0, 0);
      dup2(toHost[0], 0);
      dup2(fromHost[1], 1);
      if (nul >= 0) dup2(nul, 2);
      if (chdir(folder.c_str()) == 0) execv(args[0], args.data());
      const int error = errno;
      if (write(execFailed[1], &error, sizeof error) < 0) {
        // Nothing more to tell: the host then seems to have ended at once.
      }
      _exit(127);
    }
    const int forkError = errno;
    for (int fd : {toHost[0], fromHost[1], execFailed[1], nul}) closeFd(fd);
    in_ = toHost[1];
    out_ = fromHost[0];
    if (pid_ < 0) {
      startError = systemMessage(forkError);
      closeFd(execFailed[0]);
      return;
    }
    setpgid(pid_, pid_);
    int error = 0;
    ssize_t n = 0;
    do {
      n = read(execFailed[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    closeFd(execFailed[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
      startError = systemMessage(error);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return;
    }
    reader_ = std::thread([this] { Read(); });
  }

  ~PosixChild() override {
    CloseInput();
    if (pid_ > 0) {
      // Whatever the program started and left running goes too, so that the output pipe ends.
      kill(-pid_, SIGKILL);
      if (!reaped_) waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    closeFd(out_);
  }

  bool Write(const std::string& bytes) override {
    // A host that has ended must not end melvixcheck by SIGPIPE: held back on this thread while it
    // writes, and taken away again, the signal leaves a failed write (EPIPE).
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    std::size_t done = 0;
    while (in_ >= 0 && done < bytes.size()) {
      const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done < bytes.size()) {
      const timespec noWait{};
      sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return done == bytes.size();
  }

  void CloseInput() override { closeFd(in_); }

  std::optional<unsigned long> Wait(Clock::duration limit) override {
    const Clock::time_point until = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (Clock::now() >= until) {
        kill(-pid_, SIGKILL);
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reaped_ = true;
    // A host killed by a signal has no exit status: shown as a shell shows it, 128 + the signal.
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128u + static_cast<unsigned>(WTERMSIG(status));
  }

 private:
  static void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // Runs on the reader thread until the host's output ends.
  void Read() {
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      Collect(chunk, static_cast<std::size_t>(n));
    }
    EndOfOutput();
  }

  pid_t pid_ = -1;  // also the id of its process group
  bool reaped_ = false;
  int in_ = -1;
  int out_ = -1;
  std::thread reader_;
};

// Started directly, as Chrome and Firefox start a host outside Windows: Chrome's family with the
// extension's origin, Firefox with the manifest's path and the add-on's id.
std::unique_ptr<Child> start(Browser browser, const std::filesystem::path& host,
                             const std::filesystem::path& manifest, std::string& startError) {
  std::vector<std::string> argv{host.native()};
  if (chromiumBased(browser)) {
    argv.push_back(kChromeOrigin);
  } else {
    argv.push_back(manifest.native());
    argv.push_back(kFirefoxExtension);
  }
  return std::make_unique<PosixChild>(argv, host.parent_path().native(), startError);
}
#endif

}  // namespace

FrameScan scanFrames(const std::string& bytes) {
  FrameScan scan;
  std::size_t at = 0;
  while (bytes.size() - at >= 4) {
    const std::uint32_t length = frameLength(bytes.data() + at);
    if (length > kMostFrame) {
      scan.garbage = true;
      return scan;
    }
    if (bytes.size() - at - 4 < length) break;
    std::string text = bytes.substr(at + 4, length);
    std::optional<JsonValue> value = parseJson(text);
    if (!value) {
      scan.garbage = true;
      return scan;
    }
    scan.texts.push_back(std::move(text));
    scan.values.push_back(std::move(*value));
    at += 4 + length;
  }
  scan.rest = bytes.size() - at;
  return scan;
}

HostProbe probeHost(Browser browser, const std::filesystem::path& host,
                    const std::filesystem::path& manifest) {
  HostProbe probe;
  // The same for every browser that starts the host this way: its findings are each one's.
  const std::string who = "The host " + pathText(host) + ", started as the browser starts it";
  const auto problem = [&](CheckId id, std::string what, std::string fix) {
    probe.findings.push_back(Check(id, browser, who + ": " + std::move(what), std::move(fix)));
  };
  const char kReinstall[] =
      "Reinstall Melvix; if that does not help, switch the trace on "
      "(melvixcheck --trace on), try again and send the trace.";
  std::string startError;
  std::unique_ptr<Child> child = start(browser, host, manifest, startError);
  if (!startError.empty() || child == nullptr) {
    problem(CheckId::kHostNotStarted, "the program cannot be started: " + startError + ".",
            kReinstall);
    return probe;
  }
  std::string requests;
  appendFrame(requests, "[\"version\"]");
  appendFrame(requests, "[\"refresh\"]");
  child->Write(requests);

  bool ended = false;
  const std::string bytes = child->ReadUntil(
      [](const std::string& got) {
        const FrameScan scan = scanFrames(got);
        return scan.garbage || scan.texts.size() >= 2;
      },
      Clock::now() + kAnswerTime, ended);
  const FrameScan scan = scanFrames(bytes);
  if (scan.garbage) {
    problem(CheckId::kHostNotAFrame,
            "it wrote something that is not a native-messaging frame. The browser ends the "
            "connection (\"Error when communicating with the native messaging host.\").",
            "The program there is not the Melvix host, or is damaged: reinstall Melvix.");
  } else if (scan.texts.size() < 2) {
    const std::string got = scan.texts.empty() ? "no reply" : "only one reply";
    if (ended) {
      const std::optional<unsigned long> status = child->Wait(kEndTime);
      problem(CheckId::kHostNoReply,
              "it ended after " + got + (status ? ", with status " + std::to_string(*status) : "") +
                  ". The extension sees \"Native host has exited.\"",
              kReinstall);
      return probe;
    }
    problem(
        CheckId::kHostStalled,
        "it gave " + got + " within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kAnswerTime).count()) +
            " seconds.",
        "Something holds it up: an antivirus program that scans it, or a driver that hangs. " +
            std::string(kReinstall));
  } else {
    const auto answers = [](const JsonValue& reply, const char* command) {
      return reply.IsArray() && !reply.items.empty() && reply.items[0].text == command;
    };
    const JsonValue& refresh = scan.values[1];
    if (!answers(scan.values[0], "version") || !answers(refresh, "refresh")) {
      problem(
          CheckId::kHostForeignReply,
          "it answered, but not as the Melvix host answers: " + scan.texts[0].substr(0, 80) + ".",
          "The program there is not the Melvix host: reinstall Melvix.");
    } else {
      probe.answered = true;
      probe.outs = portNames(refresh, "outs");
      probe.ins = portNames(refresh, "ins");
    }
  }
  child->CloseInput();
  const std::optional<unsigned long> status = child->Wait(kEndTime);
  if (!status) {
    problem(CheckId::kHostNotEnded,
            "it did not end within a second of the end of its input; the browser would leave it "
            "running.",
            kReinstall);
  } else if (*status != 0) {
    problem(CheckId::kHostExitStatus,
            "it ended with status " + std::to_string(*status) + ", not 0.", kReinstall);
  }
  if (probe.findings.empty()) {
    probe.findings.push_back(
        Check(CheckId::kHostOk, browser, who + ": it starts, answers and ends as it should."));
  }
  return probe;
}

}  // namespace melvix
