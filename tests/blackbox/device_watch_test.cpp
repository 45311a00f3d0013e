// melvixhost's device watch as a browser meets it: ["connection"] when ports come and go while it
// watches, nothing otherwise, and a watcher thread that lives exactly as long as the watch.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_session.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

const std::string kConnection = "[\"connection\"]";

// The threads of a running process.
int threadCount(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Waits up to `limit` for the host to have `expected` threads; returns the last count seen.
int awaitThreads(HostSession& host, int expected, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int count = threadCount(host.process().pid());
  while (count != expected && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(2));
    count = threadCount(host.process().pid());
  }
  return count;
}

// The host's threads once it has looked at its devices: from then on the simulation runs its
// control reader, so any thread more is a watcher.
int threadsWithoutWatcher(HostSession& host) {
  host.request("[\"refresh\"]", "refresh");
  return threadCount(host.process().pid());
}

// A host built with a sanitizer then ends at its first report instead of printing it and going on
// (its exit at the end of input skips the sanitizer's own exit status). Set before the host
// starts; this process read its own options long ago.
void haltHostsOnSanitizerReports() {
  for (const char* variable : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* old = std::getenv(variable);
    std::string value = old == nullptr ? "" : std::string(old) + ":";
    setenv(variable, (value + "halt_on_error=1").c_str(), 1);
  }
}

// Also once a port was opened and let go of before the watch: the watcher's thread, idle since,
// must wake for it.
TEST(DeviceWatch, PluggingADeviceWithAnInputAndAnOutputGivesOneConnection) {
  const std::vector<std::vector<std::string>> befores = {
      {},
      {R"(["openout","Synth"])", R"(["closeout"])"},
      {R"(["openin","Pads"])", R"(["watch"])", R"(["unwatch"])", R"(["closein"])"},
  };
  for (const auto& before : befores) {
    SCOPED_TRACE(before.empty() ? "nothing opened before" : before.front());
    HostSession host({"out \"Synth\"", "in \"Pads\""});
    for (const auto& request : before) host.send(request);
    host.send("[\"watch\"]");
    host.sync();
    for (auto text : host.takeSetAside()) EXPECT_NE(text, kConnection);
    // One write, so that the simulation sees both ports appear together, as the driver of one
    // interface registers them.
    host.control("in \"Keys\"\nout \"Keys\"");
    EXPECT_EQ(host.nextStartingWith(kConnection, milliseconds(300)), kConnection);
    EXPECT_EQ(host.next(milliseconds(300)), std::nullopt);

    host.control("remove in \"Keys\"\nremove out \"Keys\"");
    EXPECT_EQ(host.next(milliseconds(300)), kConnection);
    EXPECT_EQ(host.next(milliseconds(300)), std::nullopt);
  }
}

TEST(DeviceWatch, NoConnectionComesAfterUnwatch) {
  HostSession host;
  host.send("[\"watch\"]");
  host.sync();
  host.control("in \"Keys\"");
  ASSERT_EQ(host.next(milliseconds(300)), kConnection) << "the watch never worked";

  host.send("[\"unwatch\"]");
  host.sync();
  host.control("out \"Synth\"");
  host.control("remove in \"Keys\"");
  EXPECT_EQ(host.next(milliseconds(400)), std::nullopt);
}

TEST(DeviceWatch, PortsPluggedBeforeTheWatchAreNotReported) {
  HostSession host({"out \"Synth\""});
  host.control("in \"Keys\"");
  host.control("out \"Second Synth\"");
  host.send("[\"watch\"]");
  host.sync();
  EXPECT_EQ(host.next(milliseconds(400)), std::nullopt);
}

TEST(DeviceWatch, WatchTwiceRunsOneWatcherAndUnwatchEndsIt) {
  HostSession host({"out \"Synth\""});
  const int base = threadsWithoutWatcher(host);
  host.send("[\"unwatch\"]");
  host.sync();
  EXPECT_EQ(threadCount(host.process().pid()), base);

  host.send("[\"watch\"]");
  host.sync();
  EXPECT_EQ(awaitThreads(host, base + 1, seconds(2)), base + 1);
  host.send("[\"watch\"]");
  host.sync();
  EXPECT_EQ(threadCount(host.process().pid()), base + 1);

  host.send("[\"unwatch\"]");
  host.sync();
  EXPECT_EQ(awaitThreads(host, base, milliseconds(200)), base);
  // Neither request has a reply.
  EXPECT_EQ(host.next(milliseconds(200)), std::nullopt);
}

// The browser switching the watch on and off as fast as the host reads, while devices come and go:
// no crash, no hang, no sanitizer report, and afterwards at most the one watcher that the last
// "watch" started.
TEST(DeviceWatch, TenThousandAlternationsLeaveAtMostOneWatcher) {
  haltHostsOnSanitizerReports();
  HostSession host({"out \"Synth\"", "in \"Keys\""});
  const int base = threadsWithoutWatcher(host);

  std::atomic<bool> done{false};
  std::thread plugger([&] {
    for (int i = 0; !done.load(); ++i) {
      const std::string name = " \"Hot " + std::to_string(i % 4) + "\"";
      const std::string direction = i % 2 == 0 ? "in" : "out";
      host.control(i % 8 < 4 ? direction + name : "remove " + direction + name);
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  // Requests go out from a thread of their own while this one reads, so that neither side of the
  // pipes fills up and blocks the other.
  std::thread browser([&] {
    const std::string pair = frame("[\"watch\"]") + frame("[\"unwatch\"]");
    for (int batch = 0; batch < 100; ++batch) {
      std::string requests;
      for (int i = 0; i < 100; ++i) requests += pair;
      host.sendBytes(requests);
    }
    host.send("[\"watch\"]");
    host.send("[\"version\"]");
  });
  // Everything before the reply is set aside: any number of ["connection"], and nothing else.
  const auto reply = host.nextStartingWith("[\"version\",", seconds(300));
  browser.join();
  done.store(true);
  plugger.join();
  ASSERT_TRUE(reply) << "the host hung or died";
  for (const auto& text : host.takeSetAside()) EXPECT_EQ(text, kConnection);

  EXPECT_LE(awaitThreads(host, base + 1, milliseconds(200)), base + 1);
  host.send("[\"unwatch\"]");
  host.sync();
  EXPECT_EQ(awaitThreads(host, base, milliseconds(200)), base);

  ASSERT_TRUE(host.process().running());
  host.process().closeInput();
  EXPECT_EQ(host.process().wait(seconds(10)), 0);
}

// The browser going away while input pours in and the watcher runs: the host ends at once, with
// status 0, whatever its other threads are doing.
TEST(DeviceWatch, InputEndingWhileInputPoursInAndTheWatcherRunsEndsTheHostAtOnce) {
  haltHostsOnSanitizerReports();
  HostSession host({"in \"Keys\"", "out \"Synth\""});
  ASSERT_EQ(host.request("[\"openin\",\"Keys\"]", "openin"), "[\"openin\",\"Keys\"]");
  host.send("[\"watch\"]");
  host.sync();  // the watcher has taken the names before the flood begins
  host.control("flood \"Keys\" mixed");
  ASSERT_TRUE(host.nextStartingWith("[\"midi\","));
  host.control("out \"Hot\"");
  ASSERT_TRUE(host.nextStartingWith(kConnection));

  const auto closed = Clock::now();
  host.process().closeInput();
  host.process().readAll(seconds(10));  // the browser reads on until the host's output ends
  EXPECT_EQ(host.process().wait(seconds(10)), 0);
  EXPECT_LT(Clock::now() - closed, seconds(1));
}

}  // namespace
