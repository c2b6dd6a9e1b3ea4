// Cost of a log statement: one filtered out by the level test (the common case on a busy
// path, which must stay a single relaxed load and compare), one built and handed to a sink,
// and one sent to a syslog service: through the C library's syslog() (how records used to
// travel) and through the logger's own sender. "Emitted" floods the service from one and from
// four threads: syslog() then waits for the service, the sender drops what it cannot place
// ("delivered" is the share of records the service received). "Paced" gives the caller's cost
// while the service keeps up ("per_record"). Last, the cost of a record while the service
// reads nothing (syslog() waits for ever there, so it has no figure). BM_Floor measures an
// empty iteration in the same run; read the others against it.
//
// The C library sends to "/dev/log" only: as root the program makes itself a private mount
// namespace in which "/dev" is a fresh tmpfs and "/dev/log" the test service's socket, so
// nothing outside is touched. Without it the syslog() figures are skipped. It also makes
// itself a private network namespace, where a service socket holds 512 datagrams as on a node
// whose init system raised net.unix.max_dgram_qlen (a fresh namespace holds 10); the service
// reads them in batches.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "base/logger.h"

namespace {

// A datagram socket bound at a path, as the syslog service's "/dev/log".
struct Service {
  std::string path;
  int fd = -1;

  bool Bind(const std::string& at) {
    path = at;
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  // Fills its queue so that it takes nothing more.
  void Stall() {
    int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      while (::send(filler, "x", 1, 0) >= 0) {
      }
    }
    ::close(filler);
  }
};

std::string gDir;
Service gReading;  // read all the time by gReader
Service gStalled;  // never read
std::atomic<bool> gStop{false};
std::atomic<uint64_t> gReceived{0};
std::mutex gReceivedMutex;
std::condition_variable gReceivedMore;
std::thread gReader;
bool gCLibraryReachesTheService = false;

void Read() {
  constexpr int kBatch = 64;
  static char buffers[kBatch][4096];
  struct iovec pieces[kBatch];
  struct mmsghdr messages[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    pieces[i] = {buffers[i], sizeof(buffers[i])};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  while (!gStop.load()) {
    struct pollfd watch = {gReading.fd, POLLIN, 0};
    if (::poll(&watch, 1, 100) <= 0) continue;
    int n;
    while ((n = ::recvmmsg(gReading.fd, messages, kBatch, MSG_DONTWAIT, nullptr)) > 0) {
      {
        std::lock_guard<std::mutex> lock(gReceivedMutex);
        gReceived.fetch_add(static_cast<uint64_t>(n));
      }
      gReceivedMore.notify_all();
    }
  }
}

// Waits until the service has received `count` records in all, at most a few seconds.
void WaitUntilReceived(uint64_t count) {
  std::unique_lock<std::mutex> lock(gReceivedMutex);
  gReceivedMore.wait_for(lock, std::chrono::seconds(5), [count] { return gReceived.load() >= count; });
}

// A network namespace of our own where a service socket's queue holds 512 datagrams.
bool RaiseTheServiceQueue() {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) return false;
  int fd = ::open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, "512", 3) == 3;
  ::close(fd);
  return written;
}

// "/dev/log" becomes the reading service, in a mount namespace of this process only.
bool PointTheCLibraryAtTheService() {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (::mount("none", "/dev", "tmpfs", 0, nullptr) != 0) return false;
  int file = ::open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (file < 0) return false;
  ::close(file);
  return ::mount(gReading.path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0;
}

void LogOneRecord(int value) {
  QBX_LOG(qbx::loglevel::kError)
      .subcomp("agg-service")
      .tag("errorCode:MPA10048")
      .put("[%s] Failed to start AggServiceMgr %d", __func__, value);
}

void BM_Floor(benchmark::State& state) {
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_Floor);

void BM_FilteredOutByLevel(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  int value = 42;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    QBX_LOG(qbx::loglevel::kDebug).subcomp("agg-service").put("[%s] value %d", __func__, value);
  }
}
BENCHMARK(BM_FilteredOutByLevel);

void BM_EmittedToSink(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  size_t bytes = 0;
  qbx::Logger::SetSinkForTest([&bytes](int, const std::string& line) { bytes += line.size(); });
  int value = 42;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    LogOneRecord(value);
  }
  qbx::Logger::SetSinkForTest(nullptr);
  benchmark::DoNotOptimize(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_EmittedToSink);

// Before: every record through syslog(), which sends under the C library's lock and waits
// while the service's queue is full.
void BM_EmittedThroughCLibrarySyslog(benchmark::State& state) {
  if (!gCLibraryReachesTheService) {
    state.SkipWithError("needs root and a private mount namespace for /dev/log");
    return;
  }
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  if (state.thread_index() == 0) {
    qbx::Logger::SetSinkForTest([](int priority, const std::string& line) { ::syslog(priority, "%s", line.c_str()); });
  }
  const uint64_t received = gReceived.load();
  int value = 42;
  for (auto _ : state) {
    LogOneRecord(value);
  }
  if (state.thread_index() == 0) {
    qbx::Logger::SetSinkForTest(nullptr);
    state.counters["delivered"] = static_cast<double>(gReceived.load() - received) /
                                  static_cast<double>(state.iterations() * state.threads());
  }
}
BENCHMARK(BM_EmittedThroughCLibrarySyslog)->Threads(1)->Threads(4)->UseRealTime();

// After: the logger's own sender, to the same service.
void BM_EmittedThroughTheSender(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  if (state.thread_index() == 0) qbx::Logger::SetSyslogPathForTest(gReading.path);
  qbx::Logger::Flush(std::chrono::seconds(5));
  const uint64_t received = gReceived.load();
  int value = 42;
  for (auto _ : state) {
    LogOneRecord(value);
  }
  if (state.thread_index() == 0) {
    qbx::Logger::Flush(std::chrono::seconds(5));
    state.counters["delivered"] = static_cast<double>(gReceived.load() - received) /
                                  static_cast<double>(state.iterations() * state.threads());
  }
}
BENCHMARK(BM_EmittedThroughTheSender)->Threads(1)->Threads(4)->UseRealTime();

// The caller's cost of a record while the service keeps up: batches of records, each timed
// on its own, with a wait (not timed) after each until the service has read the batch.
constexpr int kPacedBatch = 32;
void Paced(benchmark::State& state) {
  int value = 42;
  uint64_t expected = gReceived.load();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPacedBatch; ++i) LogOneRecord(value);
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    expected += kPacedBatch;
    WaitUntilReceived(expected);
  }
  state.counters["per_record"] =
      benchmark::Counter(kPacedBatch, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_PacedThroughCLibrarySyslog(benchmark::State& state) {
  if (!gCLibraryReachesTheService) {
    state.SkipWithError("needs root and a private mount namespace for /dev/log");
    return;
  }
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  qbx::Logger::SetSinkForTest([](int priority, const std::string& line) { ::syslog(priority, "%s", line.c_str()); });
  Paced(state);
  qbx::Logger::SetSinkForTest(nullptr);
}
BENCHMARK(BM_PacedThroughCLibrarySyslog)->UseManualTime();

void BM_PacedThroughTheSender(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  qbx::Logger::SetSyslogPathForTest(gReading.path);
  qbx::Logger::Flush(std::chrono::seconds(5));
  Paced(state);
}
BENCHMARK(BM_PacedThroughTheSender)->UseManualTime();

// A record while the service reads nothing: queued until the queue is full, then counted.
void BM_EmittedWhileTheLogIsStalled(benchmark::State& state) {
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  qbx::Logger::SetSyslogPathForTest(gStalled.path);
  int value = 42;
  for (auto _ : state) {
    LogOneRecord(value);
  }
  qbx::Logger::SetSyslogPathForTest(gReading.path);
}
BENCHMARK(BM_EmittedWhileTheLogIsStalled);

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = (std::filesystem::temp_directory_path() / "qbx-logger-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  gDir = pattern;
  const bool raised = RaiseTheServiceQueue();
  if (!gReading.Bind(gDir + "/log") || !gStalled.Bind(gDir + "/stalled")) return 1;
  gStalled.Stall();
  gCLibraryReachesTheService = PointTheCLibraryAtTheService();
  gReader = std::thread(Read);
  benchmark::AddCustomContext("service queue", raised ? "512 datagrams" : "the system's");

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  qbx::Logger::Flush(std::chrono::seconds(5));
  gStop = true;
  gReader.join();
  std::error_code ignored;
  std::filesystem::remove_all(gDir, ignored);
  return 0;
}
