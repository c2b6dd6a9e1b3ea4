// Stand-ins for the syslog service's "/dev/log": a datagram socket (the usual
// one) and a stream socket (a service may listen with one), each bound at a
// path of the test's.
#pragma once

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qbx::logtest {

inline constexpr std::chrono::seconds kReceiverFailsafe{30};
inline const std::string kFiller = "filler";

inline sockaddr_un UnixAddress(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// True when `fd` has something to read before `failsafe`.
inline bool Readable(int fd, std::chrono::milliseconds failsafe) {
  struct pollfd watch = {fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&watch, 1, static_cast<int>(failsafe.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

class Receiver {
 public:
  explicit Receiver(std::string path) : path_(std::move(path)) {
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = UnixAddress(path_);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
      ADD_FAILURE() << "cannot bind " << path_ << ": " << std::strerror(errno);
    }
  }
  ~Receiver() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  Receiver(const Receiver &) = delete;
  Receiver &operator=(const Receiver &) = delete;

  // The next datagram; nothing when none came before the failsafe.
  std::optional<std::string> Next(std::chrono::milliseconds failsafe = kReceiverFailsafe) {
    if (!Readable(fd_, failsafe)) return std::nullopt;
    std::string datagram(64 * 1024, '\0');
    ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
    if (n < 0) return std::nullopt;
    datagram.resize(static_cast<size_t>(n));
    return datagram;
  }
  // The next datagram that is not a filler.
  std::optional<std::string> NextRecord() {
    for (;;) {
      std::optional<std::string> datagram = Next();
      if (!datagram || *datagram != kFiller) return datagram;
    }
  }
  // Fills the socket's queue from a socket of our own until it takes no more:
  // from then on the log is stalled for every sender, until the queue is read.
  void Fill() {
    int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = UnixAddress(path_);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    while (::send(filler, kFiller.data(), kFiller.size(), 0) >= 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    ::close(filler);
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// A listening stream socket: records are read from one accepted connection at a
// time, each ending with a NUL.
class StreamReceiver {
 public:
  // `backlog`: the listener's queue of connections not yet accepted.
  explicit StreamReceiver(std::string path, int backlog = 8) : path_(std::move(path)) {
    ::unlink(path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = UnixAddress(path_);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, backlog) != 0) {
      ADD_FAILURE() << "cannot listen on " << path_ << ": " << std::strerror(errno);
    }
  }
  ~StreamReceiver() {
    CloseConnection();
    for (int filler : fillers_) ::close(filler);
    if (listener_ >= 0) ::close(listener_);
    ::unlink(path_.c_str());
  }
  StreamReceiver(const StreamReceiver &) = delete;
  StreamReceiver &operator=(const StreamReceiver &) = delete;

  // Takes the next connection, ending the one read so far; false when none
  // came.
  bool Accept() {
    CloseConnection();
    if (!Readable(listener_, kReceiverFailsafe)) return false;
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }
  // The next record of the connection, without its NUL; nothing when the
  // connection ended or stayed silent until the failsafe (what came of a record
  // then is in Unfinished()).
  std::optional<std::string> Next(std::chrono::milliseconds failsafe = kReceiverFailsafe) {
    for (;;) {
      const size_t end = buffer_.find('\0');
      if (end != std::string::npos) {
        std::string record = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return record;
      }
      if (connection_ < 0 || !Readable(connection_, failsafe)) return std::nullopt;
      char chunk[64 * 1024];
      ssize_t n = ::recv(connection_, chunk, sizeof(chunk), 0);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  // Connects from sockets of our own, never written to, until the listener's queue of
  // connections takes no more: from then on a non-blocking connect fails with EAGAIN, until
  // the queue is accepted. Returns how many were queued; Accept() takes them first.
  size_t FillBacklog() {
    sockaddr_un address = UnixAddress(path_);
    for (int attempt = 0; attempt < 4096; ++attempt) {
      int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (filler < 0) break;
      if (::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        fillers_.push_back(filler);
        continue;
      }
      const int error = errno;
      ::close(filler);
      EXPECT_EQ(error, EAGAIN) << std::strerror(error);
      return fillers_.size();
    }
    ADD_FAILURE() << "the queue of connections on " << path_ << " never filled";
    return fillers_.size();
  }
  const std::string &Unfinished() const { return buffer_; }
  // The service ends the connection, with whatever it did not read.
  void CloseConnection() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
    buffer_.clear();
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  int listener_ = -1;
  int connection_ = -1;
  std::string buffer_;
  std::vector<int> fillers_;
};

}  // namespace qbx::logtest
