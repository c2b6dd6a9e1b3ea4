// Hands log lines to the local syslog service without ever blocking the thread that made them.
//
// Each line travels as the record the C library's syslog() writes for a program that never
// called openlog(): "<PRI>Mmm dd hh:mm:ss TAG: LINE", where PRI is the priority (LOG_USER
// added when it names no facility), the time stamp is local time in the C locale ("%h %e %T"),
// TAG is the program's short invocation name, with no process id. The service reads the same
// bytes it read when records went through syslog().
//
// The socket: like syslog(), the sender connects to the path as a datagram socket, and as a
// stream socket when the service's socket is one (connect fails with EPROTOTYPE; the other
// way round too, should the service come back as a datagram socket). A datagram carries one
// line and no trailing NUL; on a stream each line is followed by a NUL, which ends the record
// for the service. Sends never raise SIGPIPE. The socket connects at the first send and again
// whenever a send finds the service's socket gone or the connection closed (the service
// restarted); a stream that ends with a line half written sends that line again whole on the
// next connection, so the service never reads half a line followed by another.
//
// Sending: a line goes out at once, from the caller's thread, with a non-blocking send when
// nothing waits before it. When the log does not take it (the service's socket queue is
// full) it waits in a bounded queue that one sender thread, started at the first such line,
// empties as the log takes lines again; the part of a line a stream did not take waits there
// too, at the front. When the queue is full the line is dropped and counted. A line that
// cannot be sent at all (no service listens, a datagram too large) is dropped and counted
// too. After a send succeeds with nothing left waiting, one line made by Options::dropReport
// says how many were dropped since the last such report.
//
// Threading: Send, Flush, SetPath, DroppedTotal and SentTotal may be called from any thread.
// `mutex_` guards every field below it. send() and connect() run under it but never wait
// (the socket is non-blocking). Only one thread uses the socket at a time: a caller while
// nothing is queued, the sender thread while something is; the sender thread waits for the
// log in poll() with the lock released, and `wakeFd_` stays open while it runs. The drop
// report is made and sent with the lock released.
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
    // The time Flush measures its bounds with; empty: the steady clock.
    std::function<std::chrono::steady_clock::time_point()> flushClock;
  };

  struct FlushResult {
    // Every line sent before the flush began has been handed to the log.
    bool complete = true;
    // Lines the log has not got when the flush returned: those still waiting, those dropped
    // whose report has not reached the log, and the drops a waiting report carries.
    uint64_t notHandedOver = 0;
  };

  explicit SyslogSender(Options options);
  // Stops the sender thread; lines still waiting are discarded.
  ~SyslogSender();
  SyslogSender(const SyslogSender&) = delete;
  SyslogSender& operator=(const SyslogSender&) = delete;

  // Sends `line` or queues it; never waits for the log and never throws.
  void Send(int priority, std::string_view line) noexcept;

  // Waits until every line sent before the call has left the queue (and a drop report in
  // the making has been sent or queued), giving up once `quiet` has passed without a line
  // leaving the queue, and once `total` has passed whatever the log does. Lines sent after
  // the call began are not waited for.
  FlushResult Flush(std::chrono::milliseconds quiet, std::chrono::milliseconds total);

  // Sends to `path` from the next line on.
  void SetPath(const std::string& path);

  // Lines dropped over the sender's life.
  uint64_t DroppedTotal() const;
  // Lines handed to the log over the sender's life.
  uint64_t SentTotal() const;

  // The record of `line`, stamped with `when` (on a stream a NUL follows it).
  static std::string Record(int priority, time_t when, std::string_view line);

 private:
  enum class Outcome { kSent, kFull, kLost };
  enum class Connection { kMade, kBusy, kFailed };

  friend struct SyslogSenderForkHooks;
  void LockForFork();
  void UnlockAfterFork();
  void ResetInChild();

  time_t Now() const;
  // Sends or queues one line. `reports` is the count a drop report carries: when that line
  // is lost the count is kept for the next report instead of counting the report as a drop.
  void SendLine(int priority, std::string_view line, uint64_t reports) noexcept;
  void SendRecord(std::string_view record, uint64_t reports) noexcept;
  void DropLocked(uint64_t reports);
  // Sends `record` from byte `offset` on (bytes a stream already took); `offset` says how far
  // it got when the result is kFull, and is 0 otherwise.
  Outcome TrySendLocked(std::string_view record, size_t& offset);
  ssize_t SendBytesLocked(std::string_view record, size_t offset);
  Connection ConnectLocked();
  // The service's socket is gone or the connection ended: connect afresh at the next send.
  void LoseConnectionLocked();
  // `sent`: bytes of the line a stream already took (only while nothing else waits).
  bool EnqueueLocked(std::string_view record, uint64_t reports, size_t sent);
  std::chrono::steady_clock::time_point FlushClockNow() const;
  uint64_t NotHandedOverLocked() const;
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
  int type_;  // SOCK_DGRAM, or SOCK_STREAM once the service's socket turned out to be one
  bool connected_ = false;
  // The queue: a ring of `options_.queueRecords` slots, allocated at the first queued line.
  struct Slot {
    std::string record;
    uint64_t reports = 0;  // the count a queued drop report carries
  };
  std::vector<Slot> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  size_t frontSent_ = 0;   // bytes of the front line the stream already took
  uint64_t enqueued_ = 0;  // lines that entered the queue: where a Flush stops waiting
  uint64_t dequeued_ = 0;  // lines that left the queue, sent or lost: what Flush sees as progress
  size_t queuedBytes_ = 0;
  uint64_t dropped_ = 0;       // since the last report
  uint64_t droppedTotal_ = 0;  // over the sender's life
  uint64_t sentTotal_ = 0;     // over the sender's life
  bool reporting_ = false;     // a report is being made outside the lock
  uint64_t reportCarries_ = 0;  // the drops that report counts, until it is sent or queued
  int flushing_ = 0;            // Flush calls waiting: each wants to hear of every line that leaves
  bool child_ = false;         // a forked child: no queue, no thread
  bool stopping_ = false;
  int wakeFd_ = -1;  // eventfd that ends the sender thread's poll
  bool senderStarted_ = false;
  pthread_t sender_{};
};

}  // namespace qbx
