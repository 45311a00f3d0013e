// The host's trace, when a user switched it on: lines appended to the trace log (see
// midi/trace_log.h) by a thread of its own, so that nothing the host does waits for the disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "midi/trace_log.h"

namespace melvix {

class TraceFile : public TraceLog {
 public:
  // The most a log holds before it is renamed to `previous` and a new one is started.
  static constexpr long kMostBytes = 1L << 20;
  // The most that waits to be written. Past it (a log that cannot be written as fast as lines
  // come, a hung network folder) lines are left out, and the log says how many once it can.
  static constexpr std::size_t kMostWaiting = 1u << 20;

  TraceFile(std::filesystem::path path, std::filesystem::path previous);
  // Writes what waits, then ends the thread.
  ~TraceFile() override;
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Each line is stamped with the time since the host started. Any thread; never waits for the
  // disk.
  void Write(std::string line) override;
  void Failure(const char* call, const WideString& device, MMRESULT result) override;
  void Event(const char* what, const WideString& port) override;
  // Returns once every line written so far is in the file, or once `limit` has passed; true in
  // the first case.
  bool Flush(std::chrono::milliseconds limit);

 private:
  // Runs on the trace's own thread.
  void Run();
  // Appends `line` to the file, starting a new one when it is full. Trace thread.
  void Append(const std::string& line);

  const std::filesystem::path path_;
  const std::filesystem::path previous_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::deque<std::string> waiting_;
  std::size_t waitingBytes_ = 0;
  std::uint64_t leftOut_ = 0;  // lines not kept since the last were written
  bool writing_ = false;
  bool stop_ = false;
  std::FILE* file_ = nullptr;  // trace thread only
  long size_ = 0;              // trace thread only
  std::thread thread_;         // started last
};

// A request or a reply as the trace shows it: at most 200 bytes, then the count of the rest.
std::string traceText(std::string_view text);

}  // namespace melvix
