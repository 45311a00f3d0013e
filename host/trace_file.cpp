#include "host/trace_file.h"

#include <cinttypes>
#include <cstdio>

#include "host/text_encoding.h"
#include "midi/winmm_error.h"

namespace melvix {

namespace {

constexpr std::size_t kShownBytes = 200;

std::FILE* openForAppending(const std::filesystem::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"ab");
#else
  return std::fopen(path.c_str(), "ab");
#endif
}

}  // namespace

std::string traceText(std::string_view text) {
  if (text.size() <= kShownBytes) return std::string(text);
  return std::string(text.substr(0, kShownBytes)) + "... (" +
         std::to_string(text.size() - kShownBytes) + " more bytes)";
}

TraceFile::TraceFile(std::filesystem::path path, std::filesystem::path previous)
    : path_(std::move(path)),
      previous_(std::move(previous)),
      start_(std::chrono::steady_clock::now()),
      thread_([this] { Run(); }) {}

TraceFile::~TraceFile() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
  if (file_ != nullptr) std::fclose(file_);
}

void TraceFile::Write(std::string line) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start_)
                      .count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%10" PRId64 " ", static_cast<std::int64_t>(ms));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waitingBytes_ + line.size() > kMostWaiting) {
      ++leftOut_;
      return;
    }
    waitingBytes_ += line.size();
    waiting_.push_back(stamp + std::move(line));
  }
  changed_.notify_all();
}

void TraceFile::Failure(const char* call, const WideString& device, MMRESULT result) {
  Write(std::string(call) + " " + quoteJson(wideToUtf8(device)) +
        " failed: " + winmmErrorName(result));
}

void TraceFile::Event(const char* what, const WideString& port) {
  Write(std::string(what) + ": " + quoteJson(wideToUtf8(port)));
}

bool TraceFile::Flush(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return waiting_.empty() && !writing_; });
}

// Runs on the trace's own thread.
void TraceFile::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    std::deque<std::string> lines;
    lines.swap(waiting_);
    waitingBytes_ = 0;
    const std::uint64_t leftOut = leftOut_;
    leftOut_ = 0;
    writing_ = true;
    lock.unlock();
    for (const std::string& line : lines) Append(line);
    if (leftOut > 0) {
      Append("trace: " + std::to_string(leftOut) +
             " lines left out, as the log could not be written as fast as they came");
    }
    if (file_ != nullptr) std::fflush(file_);
    lock.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

void TraceFile::Append(const std::string& line) {
  if (file_ == nullptr) {
    std::error_code ignored;
    std::filesystem::create_directories(path_.parent_path(), ignored);
    file_ = openForAppending(path_);
    if (file_ == nullptr) return;
    std::fseek(file_, 0, SEEK_END);
    size_ = std::ftell(file_);
  }
  if (size_ >= kMostBytes) {
    // Full: the old log becomes the previous one, and a new one starts.
    std::fclose(file_);
    std::error_code ignored;
    std::filesystem::rename(path_, previous_, ignored);
    file_ = openForAppending(path_);
    size_ = 0;
    if (file_ == nullptr) return;
  }
  std::fputs(line.c_str(), file_);
  std::fputc('\n', file_);
  size_ += static_cast<long>(line.size() + 1);
}

}  // namespace melvix
