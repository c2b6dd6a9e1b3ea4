// Hands log lines to the local syslog service without ever blocking the thread that made them.
//
// Each line travels as the datagram the C library's syslog() writes for a program that never
// called openlog(): "<PRI>Mmm dd hh:mm:ss TAG: LINE", where PRI is the priority (LOG_USER
// added when it names no facility), the time stamp is local time in the C locale ("%h %e %T"),
// TAG is the program's short invocation name, with no process id and no trailing NUL. The
// service reads the same bytes it read when records went through syslog().
//
// Sending: a line goes out at once, from the caller's thread, with a non-blocking send when
// nothing waits before it. When the log does not take it (the service's socket queue is
// full) it waits in a bounded queue that one sender thread, started at the first such line,
// empties as the log takes lines again; when the queue is full the line is dropped and
// counted. A line that cannot be sent at all (no service listens, a datagram too large) is
// dropped and counted too. After a send succeeds with nothing left waiting, one line made by
// Options::dropReport says how many were dropped since the last such report.
//
// The socket connects to the path at the first send and again whenever a send finds the
// service's socket gone (the service restarted and bound a new one there).
//
// Threading: Send, Flush, SetPath and DroppedTotal may be called from any thread. `mutex_`
// guards every field below it. send() and connect() run under it but never wait (the socket
// is non-blocking, and connecting a local datagram socket only looks the peer up). The sender
// thread waits for the log in poll() with the lock released; `fd_` and `wakeFd_` stay open
// while the thread runs. The drop report is made and sent with the lock released.
//
// Fork: every sender is locked while a process forks (pthread_atfork), so a child finds it in
// a consistent state. In the child the parent's waiting lines are forgotten (the parent
// sends them), the socket is the child's own, and no sender thread is ever started: a line
// the log does not take at once is dropped and counted.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qbx {

class SyslogSender {
 public:
  static constexpr const char* kDefaultPath = "/dev/log";
  // About a second of the daemon's busiest logging.
  static constexpr size_t kDefaultQueueRecords = 4096;
  static constexpr size_t kDefaultQueueBytes = 4u * 1024u * 1024u;

  struct DropReport {
    int priority;
    std::string line;
  };

  struct Options {
    std::string path = kDefaultPath;
    size_t queueRecords = kDefaultQueueRecords;
    size_t queueBytes = kDefaultQueueBytes;
    // Seconds since the epoch for the time stamp; empty: time().
    std::function<time_t()> clock;
    // The line that reports `dropped` lost lines; nothing, or an empty function: no report.
    std::function<std::optional<DropReport>(uint64_t dropped)> dropReport;
  };

  explicit SyslogSender(Options options);
  // Stops the sender thread; lines still waiting are discarded.
  ~SyslogSender();
  SyslogSender(const SyslogSender&) = delete;
  SyslogSender& operator=(const SyslogSender&) = delete;

  // Sends `line` or queues it; never waits for the log and never throws.
  void Send(int priority, std::string_view line) noexcept;

  // Waits until no line waits to be sent (and a due drop report has gone out), giving up
  // once `bound` has passed without a line leaving the queue: a log that reads slowly is
  // waited for, a stalled one is not. True when nothing waits any more.
  bool Flush(std::chrono::milliseconds bound);

  // Sends to `path` from the next line on.
  void SetPath(const std::string& path);

  // Lines dropped over the sender's life.
  uint64_t DroppedTotal() const;

  // The datagram of `line`, stamped with `when`.
  static std::string Datagram(int priority, time_t when, std::string_view line);

 private:
  enum class Outcome { kSent, kFull, kLost };

  friend struct SyslogSenderForkHooks;
  void LockForFork();
  void UnlockAfterFork();
  void ResetInChild();

  time_t Now() const;
  // Sends or queues one line. `reports` is the count a drop report carries: when that line
  // is lost the count is kept for the next report instead of counting the report as a drop.
  void SendLine(int priority, std::string_view line, uint64_t reports) noexcept;
  void SendDatagram(std::string_view datagram, uint64_t reports) noexcept;
  void DropLocked(uint64_t reports);
  Outcome TrySendLocked(std::string_view datagram);
  bool ConnectLocked();
  bool EnqueueLocked(std::string_view datagram, uint64_t reports);
  bool StartSenderLocked();
  static void* SenderMain(void* self);
  void RunSender();
  // Takes the count for a report; 0 when none is due.
  uint64_t TakeReportLocked();
  void SendReport(uint64_t dropped) noexcept;

  const Options options_;

  mutable std::mutex mutex_;
  std::condition_variable work_;     // a line was queued, or the sender stops
  std::condition_variable drained_;  // the queue emptied, or a report went out
  std::string path_;
  int fd_ = -1;
  bool connected_ = false;
  // The queue: a ring of `options_.queueRecords` slots, allocated at the first queued line.
  struct Slot {
    std::string datagram;
    uint64_t reports = 0;  // the count a queued drop report carries
  };
  std::vector<Slot> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t dequeued_ = 0;  // lines that left the queue, sent or lost: what Flush sees as progress
  size_t queuedBytes_ = 0;
  uint64_t dropped_ = 0;       // since the last report
  uint64_t droppedTotal_ = 0;  // over the sender's life
  bool reporting_ = false;     // a report is being made outside the lock
  bool child_ = false;         // a forked child: no queue, no thread
  bool stopping_ = false;
  int wakeFd_ = -1;  // eventfd that ends the sender thread's poll
  bool senderStarted_ = false;
  pthread_t sender_{};
};

}  // namespace qbx
