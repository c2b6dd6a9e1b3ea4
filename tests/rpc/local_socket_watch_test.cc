// What the acceptor looks at besides accepting: its socket's path, compared on the retry's
// (manual) clock with the socket file it bound, so that a file removed, a directory renamed
// away or another process's listener put in its place is noticed; callers that never open the
// protocol, closed at the handshake deadline and counted toward the bound meanwhile; the
// bound's cap; the identity check of handed-over descriptors; the pause after a descriptor
// shortage; and the retry of a round started while the first one was being set up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "base/process_exit.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/local_socket_acceptor.h"
#include "platform/rpc/server_builder.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/rpc/fakes/fake_rpc.h"
#include "tests/rpc/fakes/local_socket_callers.h"
#include "tests/rpc/fakes/wait.h"
#include "zumbra/qbx/daemon/daemon_health.grpc.pb.h"

namespace qbx {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using zumbra::qbx::daemon::DaemonHealth;
using zumbra::qbx::daemon::EchoMsg;

using testing::CallEcho;
using testing::ConnectRaw;
using testing::EchoService;
using testing::ListeningDescriptorOf;
using testing::RecordingTransport;
constexpr const char* kPreface = testing::kHttp2Preface;

// True once the other end closed `fd`: end of file, or a reset when it left bytes unread.
bool ClosedByPeer(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Another process's listener at `path` (where nothing is): its descriptor, -1 when it failed.
int ListenAt(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
      ::listen(fd, 4) == 0) {
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The connections an acceptor handed over, held as the server would hold them.
class Handed {
 public:
  rpc::LocalSocketAcceptor::HandOver Taker() {
    return [this](int fd) {
      std::lock_guard<std::mutex> lock(mutex_);
      fds_.push_back(fd);
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fds_.size();
  }
  int At(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fds_.at(i);
  }
  ~Handed() {
    for (int fd : fds_) ::close(fd);
  }

 private:
  std::mutex mutex_;
  std::vector<int> fds_;
};

class LocalSocketWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/qbx-watch-XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    base_ = base;
    path_ = base_ + "/rpc/echo.sock";
    rpc::ListenRetrySettings retry;
    retry.provider = &provider_;
    retry.schedule = ListenRetry::kSchedule;
    retry.giveUp = [this](const std::string& why) {
      std::lock_guard<std::mutex> lock(mutex_);
      givenUp_.push_back(why);
    };
    rpc::ServerBuilder::SetListenRetry(retry);
  }
  void TearDown() override {
    for (int fd : callers_) ::close(fd);
    rpc::ServerBuilder::SetListenRetry({});
    rpc::ServerBuilder::SetLocalSocketDirectory("");
    std::filesystem::remove_all(base_);
  }
  std::vector<std::string> GivenUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    return givenUp_;
  }
  // Runs what the acceptor posts to the retry's loop until `done`.
  bool RunUntil(const std::function<bool()>& done) {
    return testing::WaitUntil([&] {
      provider_.RunFor(milliseconds(1));
      return done();
    });
  }
  // A server on `path_` tied to `transport`, listening.
  std::unique_ptr<rpc::Server> Serve(RecordingTransport& transport) {
    rpc::ServerBuilder::SetLocalSocketDirectory(base_ + "/rpc");
    rpc::ServerBuilder builder(&transport);
    builder.RegisterService(&echo_, "echo");
    auto server = builder.BuildStarted();
    EXPECT_NE(server, nullptr);
    EXPECT_TRUE(server && server->Listening());
    return server;
  }
  // An acceptor on `path_` without a retry, handing its connections to `handed`, listening.
  std::shared_ptr<rpc::LocalSocketAcceptor> StartAcceptor(
      Handed& handed, size_t bound = 0, milliseconds deadline = rpc::LocalSocketAcceptor::kHandshakeDeadline) {
    rpc::LocalSocketAcceptor::Options options;
    options.handOver = handed.Taker();
    options.maxConnections = bound;
    options.handshakeDeadline = deadline;
    auto acceptor = rpc::LocalSocketAcceptor::Create(path_, options);
    EXPECT_EQ(acceptor->Start(), "");
    return acceptor;
  }
  int Caller(const std::string& opening = std::string()) {
    callers_.push_back(ConnectRaw(path_, opening));
    EXPECT_GE(callers_.back(), 0);
    return callers_.back();
  }

  std::string base_;
  std::string path_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  AsioQbxProvider provider_{{}, "watch-test", clock_};
  EchoService echo_;
  std::vector<int> callers_;
  std::mutex mutex_;
  std::vector<std::string> givenUp_;
};

TEST_F(LocalSocketWatchTest, ASocketFileRemovedOrItsDirectoryRenamedAwayIsNoticedAndListenedOnAgain) {
  testing::LogCapture log;
  RecordingTransport transport;
  path_ = base_ + "/rpc/echo.sock";
  auto server = Serve(transport);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(transport.Addresses().size(), 1u);

  // The file goes: the next check (not before) finds nothing there, and listens again at once.
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  clock_->Advance(rpc::LocalSocketAcceptor::kPathCheck - milliseconds(1));
  provider_.RunFor(milliseconds(1));
  EXPECT_FALSE(log.Contains("stopped accepting"));
  clock_->Advance(milliseconds(1));
  ASSERT_TRUE(RunUntil([&] { return transport.Addresses().size() == 2; }));
  EXPECT_TRUE(log.Contains("Listener on '" + path_ +
                           "' stopped accepting: the path no longer leads to its socket: nothing is there (No such "
                           "file or directory); listening again"));
  EXPECT_TRUE(server->Listening());
  EXPECT_TRUE(CallEcho("unix:" + path_).ok());

  // The directory is renamed away: it is made again, closed to others, and served.
  ASSERT_EQ(::rename((base_ + "/rpc").c_str(), (base_ + "/moved").c_str()), 0);
  const ino_t moved = Inode(base_ + "/moved/echo.sock");
  clock_->Advance(rpc::LocalSocketAcceptor::kPathCheck);
  ASSERT_TRUE(RunUntil([&] { return transport.Addresses().size() == 3; }));
  struct stat st {};
  ASSERT_EQ(::lstat((base_ + "/rpc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_TRUE(CallEcho("unix:" + path_).ok());
  // The file in the renamed directory is not at the path any more: left where it is.
  EXPECT_EQ(Inode(base_ + "/moved/echo.sock"), moved);
  EXPECT_TRUE(GivenUp().empty());
  server->Shutdown();
}

TEST_F(LocalSocketWatchTest, AnotherProcesssListenerPutInItsPlaceIsRefusedAndLeftAlone) {
  testing::LogCapture log;
  RecordingTransport transport;
  auto server = Serve(transport);
  ASSERT_NE(server, nullptr);

  // Somebody removes the file and listens there in the daemon's place.
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  const int impostor = ListenAt(path_);
  ASSERT_GE(impostor, 0);
  const ino_t theirs = Inode(path_);

  // Found at the next check, and given up on at once with the reason, as at start.
  clock_->Advance(rpc::LocalSocketAcceptor::kPathCheck);
  ASSERT_TRUE(RunUntil([&] { return !GivenUp().empty(); }));
  EXPECT_EQ(GivenUp(),
            std::vector<std::string>{"'" + path_ + "' is live: another process listens there; not replacing it"});
  EXPECT_TRUE(log.Contains("Listener on '" + path_ +
                           "' stopped accepting: the path no longer leads to its socket: another socket is there"));
  EXPECT_FALSE(log.Contains("Inbound services cannot listen yet"));
  EXPECT_FALSE(server->Listening());
  EXPECT_EQ(transport.Addresses().size(), 1u);

  // Their file is never removed, not even when the server stops.
  clock_->Advance(std::chrono::minutes(10));
  EXPECT_EQ(GivenUp().size(), 1u);
  server->Shutdown();
  EXPECT_EQ(Inode(path_), theirs);
  ::close(impostor);
}

// A listener put there while the socket was being tried again (something else was in the
// way) is refused at that try, as at the first: no tries for minutes while callers reach it.
TEST_F(LocalSocketWatchTest, AListenerFoundAtALaterTryIsRefusedAtOnce) {
  testing::LogCapture log;
  RecordingTransport transport;
  auto server = Serve(transport);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  { std::ofstream(path_) << "in the way"; }
  clock_->Advance(rpc::LocalSocketAcceptor::kPathCheck);
  ASSERT_TRUE(RunUntil([&] { return log.Contains("Inbound services cannot listen yet"); }));

  ASSERT_EQ(::unlink(path_.c_str()), 0);
  const int impostor = ListenAt(path_);
  ASSERT_GE(impostor, 0);
  clock_->Advance(ListenRetry::kSchedule.firstDelay);
  ASSERT_TRUE(RunUntil([&] { return !GivenUp().empty(); }));
  EXPECT_EQ(GivenUp(),
            std::vector<std::string>{"'" + path_ + "' is live: another process listens there; not replacing it"});
  // No further try.
  clock_->Advance(std::chrono::minutes(10));
  provider_.RunFor(milliseconds(1));
  EXPECT_EQ(GivenUp().size(), 1u);
  EXPECT_FALSE(log.Contains("still cannot listen"));
  server->Shutdown();
  ::close(impostor);
}

// The end removes the socket files while the servers still run (a slow log can hold it for
// seconds): the path check that finds nothing there then misses nothing, and nothing listens
// again or tells the forwarding peer its address.
TEST_F(LocalSocketWatchTest, AFileTheEndRemovedIsNotMissedNorListenedOnAgain) {
  testing::LogCapture log;
  RecordingTransport transport;
  auto server = Serve(transport);
  ASSERT_NE(server, nullptr);
  // Callers still reach the listener through another link to its socket.
  const std::string alias = base_ + "/alias.sock";
  ASSERT_EQ(::link(path_.c_str(), alias.c_str()), 0);
  struct EndPlayed {
    ~EndPlayed() { ForgetProcessEndingForTest(); }
  } played;
  RemoveSocketFilesForExit();
  ASSERT_FALSE(testing::Exists(path_));
  clock_->Advance(rpc::LocalSocketAcceptor::kPathCheck);
  provider_.RunFor(milliseconds(1));
  // Had the check woken the accept loop, this caller would find the listener closed.
  EXPECT_TRUE(CallEcho("unix:" + alias).ok());
  clock_->Advance(std::chrono::minutes(10));
  provider_.RunFor(milliseconds(1));
  EXPECT_FALSE(testing::Exists(path_));
  EXPECT_FALSE(log.Contains("stopped accepting"));
  EXPECT_EQ(transport.Addresses().size(), 1u);
  EXPECT_TRUE(GivenUp().empty());
  server->Shutdown();
}

// A round of tries started while the first round was still being set up (its listener failed
// at once) keeps its retry: the socket is listened on again once repaired.
TEST_F(LocalSocketWatchTest, ARoundStartedWhileTheFirstWasSetUpKeepsItsRetry) {
  provider_.RunAsync(1);
  testing::LogCapture log;
  std::atomic<int> announced{0};
  rpc::LocalSocketAcceptor::Options options;
  Handed handed;
  options.handOver = handed.Taker();
  options.retry = rpc::ServerBuilder::GetListenRetry();
  options.listening = [&] {
    if (announced++ > 0) return;
    // The listener fails and its directory cannot be used: the next round starts and waits.
    ASSERT_EQ(::rename((base_ + "/rpc").c_str(), (base_ + "/moved").c_str()), 0);
    ASSERT_EQ(::mkdir((base_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((base_ + "/elsewhere").c_str(), (base_ + "/rpc").c_str()), 0);
    const int listening = ListeningDescriptorOf(base_ + "/rpc/echo.sock");
    ASSERT_GE(listening, 0);
    ASSERT_EQ(::shutdown(listening, SHUT_RDWR), 0);
    ASSERT_TRUE(testing::WaitUntil([&] { return log.Contains("Inbound services cannot listen yet"); }));
    // That round has ended its set-up once the loop runs what comes after it.
    std::promise<void> after;
    provider_.dispatcher().Post([&] { after.set_value(); });
    after.get_future().wait();
  };
  auto acceptor = rpc::LocalSocketAcceptor::Create(path_, options);
  acceptor->Start();
  ASSERT_EQ(announced.load(), 1);
  EXPECT_FALSE(acceptor->listening());

  ASSERT_EQ(::unlink((base_ + "/rpc").c_str()), 0);
  ASSERT_EQ(::mkdir((base_ + "/rpc").c_str(), 0700), 0);
  clock_->Advance(seconds(1));
  ASSERT_TRUE(testing::WaitUntil([&] { return acceptor->listening(); }));
  EXPECT_EQ(announced.load(), 2);
  acceptor->Stop();
  provider_.StopAndWait();
}

TEST_F(LocalSocketWatchTest, AConnectionIsHandedOverOnlyOnceItHasSentTheWholeOpening) {
  Handed handed;
  // Far beyond the wait's cap: the rest of an opening is noticed by looking again, not by
  // the deadline.
  auto acceptor = StartAcceptor(handed, 0, std::chrono::minutes(10));
  const std::string opening = kPreface;
  const int slow = Caller(opening.substr(0, 12));
  Caller(opening);
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 1; }));
  ASSERT_EQ(::send(slow, opening.data() + 12, opening.size() - 12, MSG_NOSIGNAL), 12);
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 2; }));
  // Nothing was taken from it: the server reads the whole opening.
  char bytes[64];
  ASSERT_EQ(::recv(handed.At(1), bytes, sizeof(bytes), MSG_DONTWAIT), 24);
  EXPECT_EQ(std::string(bytes, 24), opening);

  // A caller of another protocol is the server's to answer, at once.
  Caller("GET / HTTP/1.1\r\n");
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 3; }));
  acceptor->Stop();
}

TEST_F(LocalSocketWatchTest, CallersThatNeverOpenTheProtocolHoldTheirSlotOnlyUntilTheDeadline) {
  testing::LogCapture log;
  Handed handed;
  auto acceptor = StartAcceptor(handed, 2, milliseconds(200));

  // Alone, below the bound: nothing else wakes the accept loop for its deadline.
  const int alone = Caller();
  ASSERT_TRUE(testing::WaitUntil([&] { return ClosedByPeer(alone); }));

  const int silent = Caller();
  const int partial = Caller(std::string(kPreface).substr(0, 23));
  Caller(kPreface);
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 1; }));
  EXPECT_TRUE(ClosedByPeer(silent));
  EXPECT_TRUE(ClosedByPeer(partial));
  EXPECT_TRUE(log.Contains("that did not open the protocol within 200 ms"));
  acceptor->Stop();
}

TEST_F(LocalSocketWatchTest, CallersThatHaveNotOpenedTheProtocolCountTowardTheBound) {
  testing::LogCapture log;
  Handed handed;
  auto acceptor = StartAcceptor(handed, 2);

  const int silent = Caller();
  Caller();
  ASSERT_TRUE(testing::WaitUntil([&] { return log.Contains("holds 2 connections, its bound"); }));
  EXPECT_EQ(acceptor->connections(), 2u);
  Caller(kPreface);
  // A silent caller that goes gives its slot to the one waiting.
  ::shutdown(silent, SHUT_WR);
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 1; }));
  EXPECT_TRUE(ClosedByPeer(silent));
  acceptor->Stop();
}

// gRPC closes what it was handed on its own: a descriptor number that an unrelated open took
// since then is not that connection any more.
TEST_F(LocalSocketWatchTest, ADescriptorNumberReusedByAnotherOpenDoesNotKeepItsSlot) {
  Handed handed;
  auto acceptor = StartAcceptor(handed, 1);
  Caller(kPreface);
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 1; }));
  const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::dup2(other, handed.At(0)), handed.At(0));  // closes the connection, reuses its number
  ::close(other);
  Caller(kPreface);
  ASSERT_TRUE(testing::WaitUntil([&] { return handed.Count() == 2; }));
  acceptor->Stop();
}

TEST(LocalSocketBoundTest, TheBoundIsAnEighthOfTheSoftLimitFrom8To1024) {
  using rpc::LocalSocketAcceptor;
  EXPECT_EQ(LocalSocketAcceptor::MaxConnectionsFor(16), 8u);
  EXPECT_EQ(LocalSocketAcceptor::MaxConnectionsFor(64), 8u);
  EXPECT_EQ(LocalSocketAcceptor::MaxConnectionsFor(800), 100u);
  EXPECT_EQ(LocalSocketAcceptor::MaxConnectionsFor(65536), 1024u);
  EXPECT_EQ(LocalSocketAcceptor::MaxConnectionsFor(RLIM_INFINITY), 1024u);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(LocalSocketAcceptor::DefaultMaxConnections(), LocalSocketAcceptor::MaxConnectionsFor(limit.rlim_cur));
}

// Accepting fails for want of descriptors seven times, then takes a caller, then fails again.
TEST_F(LocalSocketWatchTest, TheAcceptPauseDoublesTo1sAndStartsAgainAt50msAfterAnAccept) {
  Handed handed;
  std::mutex mutex;
  std::vector<long long> pauses;
  int accepts = 0;
  rpc::LocalSocketAcceptor::Options options;
  options.handOver = handed.Taker();
  options.acceptForTest = [&](int listenFd) {
    const int n = accepts++;
    if (n < 7 || n == 8) {
      errno = EMFILE;
      return -1;
    }
    return ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  };
  options.pausedForTest = [&](milliseconds pause) {
    std::lock_guard<std::mutex> lock(mutex);
    pauses.push_back(pause.count());
  };
  auto acceptor = rpc::LocalSocketAcceptor::Create(path_, options);
  ASSERT_EQ(acceptor->Start(), "");
  Caller(kPreface);
  ASSERT_TRUE(testing::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return pauses.size() >= 8;
  }));
  acceptor->Stop();
  EXPECT_EQ(handed.Count(), 1u);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(pauses, (std::vector<long long>{50, 100, 200, 400, 800, 1000, 1000, 50}));
}

}  // namespace
}  // namespace qbx
