#include "base/syslog_sender.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace qbx {

namespace {

// "Mmm dd hh:mm:ss": what strftime gives for "%h %e %T" in the C locale.
constexpr size_t kStampLength = 15;
// The longest "<PRI>" once the priority is masked to facility and level (at most 1023).
constexpr size_t kMaxPrefixLength = 6;
// Lines up to this size are put together on the stack; longer ones on the heap.
constexpr size_t kStackRecord = 1024;
// A queue slot keeps its buffer for the next line unless it grew past this.
constexpr size_t kKeptSlotCapacity = 1024;
// The sender thread looks again this often while the log stays full, in case a wake-up from
// the service's socket was missed (it was replaced, say).
constexpr int kFullLogFailsafeMs = 1000;
// A stream service whose queue of connections is full is tried again this often.
constexpr int kBusyServiceRetryMs = 100;
constexpr char kStreamTerminator = '\0';

void FormatStamp(time_t when, char* out) {
  // One conversion per second and thread: localtime_r takes the C library's zone lock.
  thread_local time_t cachedWhen = static_cast<time_t>(-1);
  thread_local char cached[kStampLength];
  if (when != cachedWhen) {
    static constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm local{};
    ::localtime_r(&when, &local);
    const int month = std::clamp(local.tm_mon, 0, 11);
    auto two = [](char* at, int value, char pad) {
      value = std::clamp(value, 0, 99);
      at[0] = value < 10 ? pad : static_cast<char>('0' + value / 10);
      at[1] = static_cast<char>('0' + value % 10);
    };
    std::memcpy(cached, kMonths[month], 3);
    cached[3] = ' ';
    two(cached + 4, local.tm_mday, ' ');
    cached[6] = ' ';
    two(cached + 7, local.tm_hour, '0');
    cached[9] = ':';
    two(cached + 10, local.tm_min, '0');
    cached[12] = ':';
    two(cached + 13, local.tm_sec, '0');
    cachedWhen = when;
  }
  std::memcpy(out, cached, kStampLength);
}

// The C library's treatment of the priority: unknown bits removed, LOG_USER when no facility.
int Normalise(int priority) {
  priority &= LOG_PRIMASK | LOG_FACMASK;
  if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
  return priority;
}

// The tag syslog() uses when openlog() gave none.
std::string_view Tag() { return std::string_view(program_invocation_short_name); }

size_t RecordLength(int priority, std::string_view line) {
  size_t digits = 1;
  for (int value = priority; value >= 10; value /= 10) ++digits;
  return 2 + digits + kStampLength + 1 + Tag().size() + 2 + line.size();
}

// Writes "<PRI>STAMP TAG: LINE" to `out`, which holds RecordLength() bytes.
void Assemble(char* out, int priority, time_t when, std::string_view line) {
  char prefix[kMaxPrefixLength + 2];
  size_t at = 0;
  prefix[at++] = '<';
  char digits[8];
  size_t n = 0;
  for (int value = priority;; value /= 10) {
    digits[n++] = static_cast<char>('0' + value % 10);
    if (value < 10) break;
  }
  while (n > 0) prefix[at++] = digits[--n];
  prefix[at++] = '>';
  std::memcpy(out, prefix, at);
  FormatStamp(when, out + at);
  at += kStampLength;
  out[at++] = ' ';
  const std::string_view tag = Tag();
  std::memcpy(out + at, tag.data(), tag.size());
  at += tag.size();
  out[at++] = ':';
  out[at++] = ' ';
  if (!line.empty()) std::memcpy(out + at, line.data(), line.size());
}

}  // namespace

// Locks every sender across fork(), and turns each into a child's sender afterwards.
struct SyslogSenderForkHooks {
  struct Registry {
    std::mutex mutex;
    std::vector<SyslogSender*> live;
  };
  static Registry& TheRegistry() {
    // Never destroyed: a sender may outlive static destruction.
    static Registry* registry = [] {
      auto* made = new Registry();
      ::pthread_atfork(&Prepare, &Parent, &Child);
      return made;
    }();
    return *registry;
  }
  static void Add(SyslogSender* sender) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.push_back(sender);
  }
  static void Remove(SyslogSender* sender) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.erase(std::remove(registry.live.begin(), registry.live.end(), sender), registry.live.end());
  }
  static void Prepare() {
    Registry& registry = TheRegistry();
    registry.mutex.lock();
    for (SyslogSender* sender : registry.live) sender->LockForFork();
  }
  static void Parent() {
    Registry& registry = TheRegistry();
    for (SyslogSender* sender : registry.live) sender->UnlockAfterFork();
    registry.mutex.unlock();
  }
  static void Child() {
    Registry& registry = TheRegistry();
    for (SyslogSender* sender : registry.live) sender->ResetInChild();
    registry.mutex.unlock();
  }
};

SyslogSender::SyslogSender(Options options) : options_(std::move(options)), path_(options_.path), type_(SOCK_DGRAM) {
  SyslogSenderForkHooks::Add(this);
}

SyslogSender::~SyslogSender() {
  SyslogSenderForkHooks::Remove(this);
  int wake = -1;
  bool started = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake = wakeFd_;
    started = senderStarted_;
  }
  work_.notify_all();
  if (started) {
    uint64_t one = 1;
    ssize_t written = ::write(wake, &one, sizeof(one));
    (void)written;  // a counter at its maximum still wakes the poll
    ::pthread_join(sender_, nullptr);
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (fd_ >= 0) ::close(fd_);
}

void SyslogSender::LockForFork() { mutex_.lock(); }

void SyslogSender::UnlockAfterFork() { mutex_.unlock(); }

void SyslogSender::ResetInChild() {
  // The parent sends what waits in its queue and reports its own drops; the sender thread
  // and a report in the making belong to the parent.
  std::vector<Slot>().swap(ring_);
  head_ = 0;
  count_ = 0;
  frontSent_ = 0;
  enqueued_ = 0;
  dequeued_ = 0;
  queuedBytes_ = 0;
  dropped_ = 0;
  reporting_ = false;
  reportCarries_ = 0;
  flushing_ = 0;
  child_ = true;
  senderStarted_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  connected_ = false;
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
  mutex_.unlock();
}

time_t SyslogSender::Now() const { return options_.clock ? options_.clock() : ::time(nullptr); }

std::string SyslogSender::Record(int priority, time_t when, std::string_view line) {
  priority = Normalise(priority);
  std::string record(RecordLength(priority, line), '\0');
  Assemble(record.data(), priority, when, line);
  return record;
}

void SyslogSender::Send(int priority, std::string_view line) noexcept { SendLine(priority, line, 0); }

void SyslogSender::SendLine(int priority, std::string_view line, uint64_t reports) noexcept {
  priority = Normalise(priority);
  time_t when = 0;
  try {
    when = Now();
  } catch (...) {
    when = ::time(nullptr);
  }
  const size_t length = RecordLength(priority, line);
  if (length <= kStackRecord) {
    char record[kStackRecord];
    Assemble(record, priority, when, line);
    SendRecord(std::string_view(record, length), reports);
    return;
  }
  std::string record;
  try {
    record.resize(length);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropLocked(reports);
    return;
  }
  Assemble(record.data(), priority, when, line);
  SendRecord(record, reports);
}

void SyslogSender::SendRecord(std::string_view record, uint64_t reports) noexcept {
  uint64_t report = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The report's count now rides on its line: sent, queued or dropped below.
    if (reports != 0) reportCarries_ = 0;
    // Behind lines already waiting, a line waits too: the log receives them in order.
    size_t sent = 0;
    Outcome outcome = count_ == 0 ? TrySendLocked(record, sent) : Outcome::kFull;
    if (outcome == Outcome::kSent) {
      report = TakeReportLocked();
    } else if (outcome == Outcome::kLost || !EnqueueLocked(record, reports, sent)) {
      // Half a line on a stream: end the connection, so that the service never reads
      // another line glued to it.
      if (sent != 0) LoseConnectionLocked();
      DropLocked(reports);
    }
  }
  if (report != 0) SendReport(report);
}

void SyslogSender::DropLocked(uint64_t reports) {
  if (reports != 0) {
    dropped_ += reports;
    return;
  }
  ++dropped_;
  ++droppedTotal_;
}

SyslogSender::Outcome SyslogSender::TrySendLocked(std::string_view record, size_t& offset) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!connected_) {
      offset = 0;  // a line begun on a connection that ended goes whole on the next one
      const Connection connection = ConnectLocked();
      if (connection == Connection::kBusy) return Outcome::kFull;
      if (connection == Connection::kFailed) break;
    }
    const ssize_t n = SendBytesLocked(record, offset);
    if (n >= 0) {
      offset += static_cast<size_t>(n);
      const size_t whole = record.size() + (type_ == SOCK_STREAM ? 1 : 0);
      if (offset < whole) return Outcome::kFull;  // the rest waits until the service reads
      offset = 0;
      ++sentTotal_;
      return Outcome::kSent;
    }
    if (errno == EAGAIN) return Outcome::kFull;
    if (errno == EMSGSIZE || errno == ENOBUFS || errno == ENOMEM) break;  // EMSGSIZE: larger than any buffer
    // The service's socket is gone (ECONNREFUSED, ENOTCONN, ...) or closed the connection
    // (EPIPE): it may have bound a new one at the path. Connect again and try once more.
    LoseConnectionLocked();
  }
  // Half a line on a stream: the next line starts on a fresh connection.
  if (offset != 0) LoseConnectionLocked();
  offset = 0;
  return Outcome::kLost;
}

ssize_t SyslogSender::SendBytesLocked(std::string_view record, size_t offset) {
  ssize_t n;
  do {
    if (type_ == SOCK_STREAM) {
      struct iovec parts[2];
      size_t count = 0;
      if (offset < record.size()) {
        parts[count++] = {const_cast<char*>(record.data()) + offset, record.size() - offset};
      }
      parts[count++] = {const_cast<char*>(&kStreamTerminator), 1};
      struct msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = count;
      n = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      n = ::send(fd_, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
  } while (n < 0 && errno == EINTR);
  return n;
}

SyslogSender::Connection SyslogSender::ConnectLocked() {
  struct sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(address.sun_path)) return Connection::kFailed;
  std::memcpy(address.sun_path, path_.data(), path_.size());
  // A stream socket connects once: each connection gets a socket of its own.
  if (type_ == SOCK_STREAM && fd_ >= 0) LoseConnectionLocked();
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (fd_ < 0) {
      fd_ = ::socket(AF_UNIX, type_ | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd_ < 0) return Connection::kFailed;
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      connected_ = true;
      return Connection::kMade;
    }
    const int error = errno;
    if (error == EPROTOTYPE) {
      // The service's socket is of the other type: connect as that from now on.
      ::close(fd_);
      fd_ = -1;
      type_ = type_ == SOCK_DGRAM ? SOCK_STREAM : SOCK_DGRAM;
      continue;
    }
    if (type_ == SOCK_STREAM) LoseConnectionLocked();
    // EAGAIN: a stream service that has not yet accepted the connections before ours.
    return error == EAGAIN ? Connection::kBusy : Connection::kFailed;
  }
  return Connection::kFailed;
}

void SyslogSender::LoseConnectionLocked() {
  connected_ = false;
  if (type_ == SOCK_STREAM && fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool SyslogSender::EnqueueLocked(std::string_view record, uint64_t reports, size_t sent) {
  const size_t capacity = options_.queueRecords;
  if (child_ || capacity == 0 || count_ == capacity) return false;
  if (queuedBytes_ + record.size() > options_.queueBytes) return false;
  if (!StartSenderLocked()) return false;
  try {
    if (ring_.empty()) ring_.resize(capacity);
    Slot& slot = ring_[(head_ + count_) % capacity];
    slot.record.assign(record.data(), record.size());
    slot.reports = reports;
  } catch (...) {
    return false;
  }
  if (count_ == 0) frontSent_ = sent;
  ++count_;
  ++enqueued_;
  queuedBytes_ += record.size();
  if (count_ == 1) work_.notify_one();
  return true;
}

bool SyslogSender::StartSenderLocked() {
  if (senderStarted_) return true;
  if (stopping_) return false;
  if (wakeFd_ < 0) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return false;
  }
  // The thread takes no signal: the process's stop and reload signals belong to the thread
  // that waits for them.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int rc = ::pthread_create(&sender_, nullptr, &SenderMain, this);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) return false;
  senderStarted_ = true;
  return true;
}

void* SyslogSender::SenderMain(void* self) {
  static_cast<SyslogSender*>(self)->RunSender();
  return nullptr;
}

void SyslogSender::RunSender() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stopping_ || count_ > 0; });
    if (stopping_) return;
    Outcome last = Outcome::kSent;
    const uint64_t before = dequeued_;
    while (count_ > 0) {
      Slot& front = ring_[head_];
      last = TrySendLocked(front.record, frontSent_);
      if (last == Outcome::kFull) break;
      if (last == Outcome::kLost) DropLocked(front.reports);
      queuedBytes_ -= front.record.size();
      if (front.record.capacity() > kKeptSlotCapacity) {
        std::string().swap(front.record);
      } else {
        front.record.clear();
      }
      head_ = (head_ + 1) % ring_.size();
      --count_;
      ++dequeued_;
    }
    if (last == Outcome::kFull && dequeued_ != before && flushing_ > 0) drained_.notify_all();
    if (last != Outcome::kFull) {
      const uint64_t report = last == Outcome::kSent ? TakeReportLocked() : 0;
      drained_.notify_all();
      if (report != 0) {
        lock.unlock();
        SendReport(report);
        lock.lock();
      }
      continue;
    }
    // The log is full: wait until its socket takes lines again, or the sender stops. Without
    // a socket (a stream service that accepts no connection yet) try again shortly.
    struct pollfd watch[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    const int failsafe = fd_ >= 0 ? kFullLogFailsafeMs : kBusyServiceRetryMs;
    lock.unlock();
    int ready = ::poll(watch, 2, failsafe);
    if (ready > 0 && (watch[1].revents & POLLIN) != 0) {
      uint64_t value = 0;
      ssize_t got = ::read(watch[1].fd, &value, sizeof(value));
      (void)got;
    }
    lock.lock();
    if (stopping_) return;
  }
}

uint64_t SyslogSender::TakeReportLocked() {
  if (dropped_ == 0 || count_ != 0 || reporting_ || !options_.dropReport) return 0;
  reporting_ = true;
  const uint64_t dropped = dropped_;
  dropped_ = 0;
  reportCarries_ = dropped;
  return dropped;
}

void SyslogSender::SendReport(uint64_t dropped) noexcept {
  std::optional<DropReport> report;
  try {
    report = options_.dropReport(dropped);
  } catch (...) {
    report.reset();
  }
  if (report) SendLine(report->priority, report->line, dropped);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reporting_ = false;
    reportCarries_ = 0;  // no report made: those drops are not told
  }
  drained_.notify_all();
}

std::chrono::steady_clock::time_point SyslogSender::FlushClockNow() const {
  return options_.flushClock ? options_.flushClock() : std::chrono::steady_clock::now();
}

SyslogSender::FlushResult SyslogSender::Flush(std::chrono::milliseconds quiet, std::chrono::milliseconds total) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Lines queued from here on are not waited for: a log that reads slowly while the process
  // goes on logging would otherwise hold the flush for as long as the queue stays full.
  const uint64_t mark = enqueued_;
  const auto start = FlushClockNow();
  auto lastProgress = start;
  uint64_t seen = dequeued_;
  FlushResult result;
  ++flushing_;
  for (;;) {
    if (dequeued_ >= mark && !reporting_) break;
    const auto now = FlushClockNow();
    if (dequeued_ != seen) {
      seen = dequeued_;
      lastProgress = now;
    }
    const auto deadline = std::min(lastProgress + quiet, start + total);
    if (now >= deadline) {
      result.complete = false;
      break;
    }
    drained_.wait_for(lock, deadline - now);
  }
  --flushing_;
  result.notHandedOver = NotHandedOverLocked();
  return result;
}

uint64_t SyslogSender::NotHandedOverLocked() const {
  uint64_t lines = dropped_ + reportCarries_;
  for (size_t i = 0; i < count_; ++i) {
    const Slot& slot = ring_[(head_ + i) % ring_.size()];
    lines += slot.reports != 0 ? slot.reports : 1;
  }
  return lines;
}

void SyslogSender::SetPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  // Only flagged: the sender thread may be waiting on the socket. The next send connects.
  connected_ = false;
}

uint64_t SyslogSender::DroppedTotal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return droppedTotal_;
}

uint64_t SyslogSender::SentTotal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sentTotal_;
}

}  // namespace qbx
