// The command table, the unixctl framing and replies, the socket server with raw clients
// and with the distribution's ovs-appctl, and the firewall command set.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/json_file.h"
#include "base/logger.h"
#include "base/process_exit.h"
#include "firewall/cli_server.h"
#include "firewall/dfw_cli.h"
#include "platform/runtime/manual_clock.h"
#include "tests/base/log_test_support.h"

namespace {

using nlohmann::json;
using qbx::logtest::TempDir;

CliReply Echo(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += a + ";";
  return {true, text};
}

TEST(CliFraming, FindsWholeObjectsOnly) {
  bool bad = false;
  const std::string two = R"( {"a":"}{\"x"} {"b":[1,{"c":2}]})";
  auto first = CommonCliServer::FindMessageEnd(two, 0, bad);
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(bad);
  EXPECT_EQ(two.substr(0, *first), R"( {"a":"}{\"x"})");
  auto second = CommonCliServer::FindMessageEnd(two, *first, bad);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(*second, two.size());
  EXPECT_FALSE(CommonCliServer::FindMessageEnd(two, *second, bad).has_value());
  EXPECT_FALSE(bad);

  EXPECT_FALSE(CommonCliServer::FindMessageEnd(R"({"method":"se)", 0, bad).has_value());
  EXPECT_FALSE(bad);  // incomplete, not malformed
  CommonCliServer::FindMessageEnd("[1]", 0, bad);
  EXPECT_TRUE(bad);
  CommonCliServer::FindMessageEnd("{]]", 0, bad);
  EXPECT_TRUE(bad);
}

TEST(CliFraming, DeepNestingIsMalformedAtTheBound) {
  bool bad = false;
  auto nested = [](size_t depth) {
    return R"({"method":"get/echo","params":[],"id":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') +
           "}";
  };
  EXPECT_TRUE(CommonCliServer::FindMessageEnd(nested(qbx::kMaxJsonNesting), 0, bad).has_value());
  EXPECT_FALSE(bad);
  // Refused as soon as the bound is passed, long before the object could end.
  EXPECT_FALSE(CommonCliServer::FindMessageEnd(nested(100000).substr(0, 50000), 0, bad).has_value());
  EXPECT_TRUE(bad);
  // Brackets inside strings are text, not nesting.
  std::string quoted = R"({"method":"get/echo","params":[")" + std::string(1000, '[') + R"("],"id":1})";
  EXPECT_TRUE(CommonCliServer::FindMessageEnd(quoted, 0, bad).has_value());
  EXPECT_FALSE(bad);
}

TEST(CliTable, RegistrationBoundsAndErrors) {
  CliCommandTable table;
  EXPECT_EQ(table.Register("get/x", "<a> [b]", 1, 2, Echo), 0);
  EXPECT_EQ(table.Register("get/x", "", 0, 0, Echo), -1);  // name taken
  EXPECT_EQ(table.Register("", "", 0, 0, Echo), -1);
  EXPECT_EQ(table.Register("get/y", "", 2, 1, Echo), -1);
  EXPECT_EQ(table.Register("get/z", "", 0, 0, nullptr), -1);

  EXPECT_EQ(table.Dispatch("get/x", {"1"}).text, "1;");
  auto few = table.Dispatch("get/x", {});
  EXPECT_FALSE(few.ok);
  EXPECT_NE(few.text.find("requires at least 1 arguments"), std::string::npos);
  auto many = table.Dispatch("get/x", {"1", "2", "3"});
  EXPECT_FALSE(many.ok);
  EXPECT_NE(many.text.find("at most 2"), std::string::npos);
  auto unknown = table.Dispatch("clr/stats", {});
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.text, "\"clr/stats\" is not a valid command");
}

TEST(CliTable, CallbackMayReenterTableAndMayThrow) {
  CliCommandTable table;
  table.Register("set/add", "", 0, 0, [&table](const std::vector<std::string>&) -> CliReply {
    // The table's lock is not held while a callback runs.
    return {table.Register("get/added", "", 0, 0, Echo) == 0, "added"};
  });
  table.Register("get/throw", "", 0, 0, [](const std::vector<std::string>&) -> CliReply {
    throw std::runtime_error("broken");
  });
  EXPECT_TRUE(table.Dispatch("set/add", {}).ok);
  EXPECT_TRUE(table.Dispatch("get/added", {}).ok);
  auto thrown = table.Dispatch("get/throw", {});
  EXPECT_FALSE(thrown.ok);
  EXPECT_NE(thrown.text.find("broken"), std::string::npos);
}

TEST(CliRequests, RepliesFollowJsonRpcAndIgnoreNotifications) {
  CliCommandTable table;
  table.Register("get/echo", "", 0, 3, Echo);
  CommonCliServer server("/nonexistent/unused", table);

  json ok = json::parse(server.HandleRequest(R"({"method":"get/echo","params":["a","b"],"id":7})"));
  EXPECT_EQ(ok["result"], "a;b;");
  EXPECT_TRUE(ok["error"].is_null());
  EXPECT_EQ(ok["id"], 7);

  json unknown = json::parse(server.HandleRequest(R"({"method":"nope","params":[],"id":"x"})"));
  EXPECT_TRUE(unknown["result"].is_null());
  EXPECT_EQ(unknown["id"], "x");
  EXPECT_NE(unknown["error"].get<std::string>().find("not a valid command"), std::string::npos);

  json typed = json::parse(server.HandleRequest(R"({"method":"get/echo","params":[1],"id":1})"));
  EXPECT_FALSE(typed["error"].is_null());
  json garbage = json::parse(server.HandleRequest(R"({"method":)"));
  EXPECT_FALSE(garbage["error"].is_null());

  // An id nested far too deep is neither parsed nor copied into the reply.
  const std::string deepId = R"({"method":"get/echo","params":[],"id":)" + std::string(100000, '[') +
                             std::string(100000, ']') + "}";
  json deep = json::parse(server.HandleRequest(deepId));
  EXPECT_TRUE(deep["id"].is_null());
  EXPECT_TRUE(deep["result"].is_null());
  EXPECT_FALSE(deep["error"].is_null());
  json shallow = json::parse(server.HandleRequest(R"({"method":"get/echo","params":[],"id":[[1]]})"));
  EXPECT_EQ(shallow["id"], json::parse("[[1]]"));

  EXPECT_EQ(server.HandleRequest(R"({"method":"get/echo","params":[],"id":null})"), "");
  EXPECT_EQ(server.HandleRequest(R"({"method":"get/echo","params":[]})"), "");
}

// The server's accept call, failing with a chosen error (0: accepting for real) and counted.
class ScriptedAccept {
 public:
  std::function<int(int)> Call() {
    return [this](int listenFd) {
      int error;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++calls_;
        error = failWith_;
      }
      called_.notify_all();
      if (error == 0) return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      errno = error;
      return -1;
    };
  }
  void FailWith(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failWith_ = error;
  }
  int Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // False when the server did not call that often within a hang guard.
  bool WaitForCalls(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return called_.wait_for(lock, std::chrono::seconds(30), [&] { return calls_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable called_;
  int calls_ = 0;
  int failWith_ = EMFILE;
};

class ServerFixture : public ::testing::Test {
 protected:
  // Time moves only with clock_, so no connection times out unless a test says so.
  void StartServer(std::chrono::milliseconds requestTimeout = CommonCliServer::kRequestTimeout) {
    server_ = std::make_unique<CommonCliServer>(path_, table_, requestTimeout, clock_);
    if (accept_) server_->SetAcceptForTest(accept_);
    ASSERT_EQ(server_->Open(), 0);
    ServeInThread();
  }
  void ServeInThread() {
    {
      std::lock_guard<std::mutex> lock(serveMutex_);
      serveResult_ = -2;
    }
    thread_ = std::thread([this] {
      const int result = server_->Serve();
      std::lock_guard<std::mutex> lock(serveMutex_);
      serveResult_ = result;
      serveEnded_.notify_all();
    });
  }
  // What Serve returned once it did (-2 when it still serves after a hang guard).
  int WaitForServeEnd() {
    {
      std::unique_lock<std::mutex> lock(serveMutex_);
      if (!serveEnded_.wait_for(lock, std::chrono::seconds(30), [this] { return serveResult_ != -2; })) return -2;
    }
    thread_.join();
    return serveResult_;
  }
  // Three passes of the serving loop: the second began after the clock was last moved, and
  // the third only after the second had taken its accept step.
  void ThreePasses() {
    for (int i = 0; i < 3; ++i) server_->RecheckDeadlinesForTest();
  }
  void TearDown() override {
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
  }
  int Connect() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    // Only a guard against hanging when the server misbehaves; no wait here comes near it.
    timeval guard{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
    return fd;
  }
  static void Send(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }
  // Reads whole replies until `count` objects came or the peer closed.
  static std::vector<json> Read(int fd, size_t count) {
    std::vector<json> replies;
    std::string buffer;
    size_t from = 0;
    char chunk[4096];
    while (replies.size() < count) {
      bool bad = false;
      auto end = CommonCliServer::FindMessageEnd(buffer, from, bad);
      if (end) {
        replies.push_back(json::parse(buffer.substr(from, *end - from)));
        from = *end;
        continue;
      }
      ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
    }
    return replies;
  }
  // Serves with `accept` as the accept call and a client waiting that it was called for
  // once; the client's descriptor.
  int StartWithAClientWaiting(ScriptedAccept& accept) {
    table_.Register("get/echo", "", 0, 3, Echo);
    accept_ = accept.Call();
    StartServer();
    int fd = Connect();
    Send(fd, R"({"method":"get/echo","params":["in"],"id":1})");
    EXPECT_TRUE(accept.WaitForCalls(1));
    return fd;
  }
  // Asks for an echo of `word` on `fd` and expects it back.
  static void ExpectEcho(int fd, const std::string& word) {
    Send(fd, R"({"method":"get/echo","params":[")" + word + R"("],"id":1})");
    auto replies = Read(fd, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["result"], word + ";");
  }
  // Once the reply to its last request came, `fd` still has a request answered a second
  // before `requestTimeout` has passed.
  void ExpectServedJustBeforeTheNextDeadline(int fd, std::chrono::milliseconds requestTimeout) {
    server_->RecheckDeadlinesForTest();
    clock_->Advance(requestTimeout - std::chrono::seconds(1));
    server_->RecheckDeadlinesForTest();
    ExpectEcho(fd, "next");
  }
  // The server has the connection's bytes once their reply came back: `pending` follows a
  // whole request in the same write, so the next request's deadline counts from now.
  static void SendWithPendingTail(int fd, const std::string& pending) {
    Send(fd, R"({"method":"get/echo","params":["sync"],"id":0})" + pending);
    ASSERT_EQ(Read(fd, 1).size(), 1u);
  }
  // Expects the server to have closed `fd` (end of stream or reset, no reply; the guard's
  // time-out means it is still open) and closes it.
  static void ExpectClosedByServer(int fd) {
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, 0);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << std::strerror(errno);
    ::close(fd);
  }
  // A socket bound at `path` (listening when asked), as another process would leave it.
  static int BindAt(const std::string& path, bool listening = false) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << std::strerror(errno);
    if (listening) {
      EXPECT_EQ(::listen(fd, 4), 0);
    }
    return fd;
  }
  // Runs a command line, returns its exit status and fills its standard output.
  static int Run(const std::string& command, std::string& out) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir dir_;
  std::string path_ = (dir_.path() / "run" / "cli.sock").string();
  CliCommandTable table_;
  std::shared_ptr<qbx::ManualClock> clock_ = std::make_shared<qbx::ManualClock>();
  std::function<int(int)> accept_;  // the server's accept call when set
  std::unique_ptr<CommonCliServer> server_;
  std::thread thread_;
  std::mutex serveMutex_;  // guards serveResult_
  std::condition_variable serveEnded_;
  int serveResult_ = -2;
};

TEST_F(ServerFixture, AnswersBackToBackAndSplitRequestsAndStops) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer();
  EXPECT_TRUE(std::filesystem::is_socket(path_));  // folder created too
  int fd = Connect();
  Send(fd, R"({"method":"get/echo","params":["1"],"id":1}{"method":"get/echo","params":["2"],"id":2})");
  Send(fd, R"({"method":"get/ec)");
  Send(fd, R"(ho","params":["3"],"id":3})");
  auto replies = Read(fd, 3);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0]["result"], "1;");
  EXPECT_EQ(replies[1]["result"], "2;");
  EXPECT_EQ(replies[2]["result"], "3;");
  ::close(fd);
  server_->Stop();
  thread_.join();
  EXPECT_EQ(serveResult_, 0);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(ServerFixture, MalformedOrOversizedRequestClosesOnlyThatConnection) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer();
  int bad = Connect();
  int good = Connect();
  Send(bad, "not json at all");
  EXPECT_TRUE(Read(bad, 1).empty());  // closed without a reply
  ::close(bad);

  int big = Connect();
  std::string huge = R"({"method":"get/echo","params":[")" + std::string(CommonCliServer::kMaxRequestBytes + 10, 'x');
  ::send(big, huge.data(), huge.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(Read(big, 1).empty());
  ::close(big);

  Send(good, R"({"method":"get/echo","params":["still here"],"id":9})");
  auto replies = Read(good, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "still here;");
  ::close(good);
}

TEST_F(ServerFixture, DeeplyNestedRequestClosesOnlyThatConnection) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer();
  int deep = Connect();
  int good = Connect();
  // Within the size limit, nested far beyond what a recursive parser or copy survives.
  std::string request = R"({"method":"get/echo","params":[],"id":)" + std::string(30000, '[');
  ::send(deep, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(Read(deep, 1).empty());
  ::close(deep);
  Send(good, R"({"method":"get/echo","params":["ok"],"id":[[2]]})");
  auto replies = Read(good, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "ok;");
  ::close(good);
}

TEST_F(ServerFixture, SilentClientsAreClosedAtTheirDeadlineSoOthersGetIn) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer(std::chrono::seconds(10));
  // A full house of silent clients.
  std::vector<int> silent;
  for (size_t i = 0; i < CommonCliServer::kMaxClients; ++i) {
    silent.push_back(Connect());
    SendWithPendingTail(silent.back(), "");
  }
  // Takes the slot of one of them at once; the others are closed at their deadline.
  int late = Connect();
  Send(late, R"({"method":"get/echo","params":["in"],"id":1})");
  clock_->Advance(std::chrono::seconds(10));
  server_->RecheckDeadlinesForTest();
  auto replies = Read(late, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "in;");
  for (int fd : silent) ExpectClosedByServer(fd);
  ::close(late);
}

TEST_F(ServerFixture, TricklingClientsAreClosedAtTheirRequestDeadlineSoOthersGetIn) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer(std::chrono::seconds(10));
  // Every slot holds a request begun now and fed one byte every 5 s.
  std::vector<int> trickling;
  for (size_t i = 0; i < CommonCliServer::kMaxClients; ++i) {
    trickling.push_back(Connect());
    SendWithPendingTail(trickling.back(), "{");
  }
  clock_->Advance(std::chrono::seconds(5));
  for (int fd : trickling) Send(fd, "\"");
  server_->RecheckDeadlinesForTest();
  clock_->Advance(std::chrono::seconds(5));
  server_->RecheckDeadlinesForTest();
  // 10 s after their first byte every trickling request is refused, and the slots are free.
  for (int fd : trickling) ExpectClosedByServer(fd);
  int late = Connect();
  Send(late, R"({"method":"get/echo","params":["17th"],"id":17})");
  auto replies = Read(late, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "17th;");
  EXPECT_EQ(replies[0]["id"], 17);
  ::close(late);
}

TEST_F(ServerFixture, EachWholeRequestStartsAFreshDeadline) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer(std::chrono::seconds(10));
  int fd = Connect();
  // Each request well within the time-out, together far beyond it.
  for (int i = 0; i < 8; ++i) {
    Send(fd, R"({"method":"get/echo","params":["x"],"id":1})");
    ASSERT_EQ(Read(fd, 1).size(), 1u) << i;
    clock_->Advance(std::chrono::seconds(6));
    server_->RecheckDeadlinesForTest();
  }
  // A request begun right after a whole one in the same write also gets its full time.
  SendWithPendingTail(fd, R"({"method":"get/echo",)");
  clock_->Advance(std::chrono::seconds(9));
  server_->RecheckDeadlinesForTest();
  Send(fd, R"("params":["y"],"id":2})");
  auto replies = Read(fd, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "y;");
  // Finishing that request 9 s into it gave the connection its full time for the next one.
  clock_->Advance(std::chrono::seconds(9));
  server_->RecheckDeadlinesForTest();
  Send(fd, R"({"method":"get/echo","params":["z"],"id":3})");
  replies = Read(fd, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "z;");
  ::close(fd);
}

TEST_F(ServerFixture, RemoveSocketFileRemovesOnlyItsOwnFile) {
  StartServer();
  server_->RemoveSocketFile();
  EXPECT_FALSE(std::filesystem::exists(path_));
  server_->Stop();
  thread_.join();
  // A newer socket put at the same path (the older one's file removed by a cleanup)
  // survives the older server's removal.
  CommonCliServer older(path_, table_);
  ASSERT_EQ(older.Open(), 0);
  ASSERT_TRUE(std::filesystem::remove(path_));
  int newer = BindAt(path_);
  older.RemoveSocketFile();
  EXPECT_TRUE(std::filesystem::is_socket(path_));
  ::close(newer);
}

TEST_F(ServerFixture, ReplacesStaleSocketButNotOtherFiles) {
  StartServer();
  server_->Stop();
  thread_.join();
  // A socket file left by a crashed run (nobody listens on it) is replaced.
  ::close(BindAt(path_));
  CommonCliServer again(path_, table_);
  EXPECT_EQ(again.Open(), 0);
  int client = Connect();  // the new server's socket is at the path
  ::close(client);

  const std::string regular = dir_.Write("plain-file", "keep me");
  CommonCliServer refused(regular, table_);
  EXPECT_EQ(refused.Open(), -1);
  EXPECT_EQ(std::ifstream(regular).rdbuf()->in_avail() > 0, true);
  CommonCliServer tooLong(std::string(200, 'a'), table_);
  EXPECT_EQ(tooLong.Open(), -1);
}

TEST_F(ServerFixture, LineEndAfterARequestStartsNoDeadline) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer(std::chrono::seconds(10));
  int fd = Connect();
  SendWithPendingTail(fd, "\n");  // as a line-oriented client ends each request
  clock_->Advance(std::chrono::seconds(9));
  server_->RecheckDeadlinesForTest();
  // The next request begins 9 s after the reply and gets its full time from its first byte.
  Send(fd, R"({"method":"get/echo",)");
  server_->RecheckDeadlinesForTest();
  clock_->Advance(std::chrono::seconds(2));
  server_->RecheckDeadlinesForTest();
  Send(fd, R"("params":["late"],"id":2})");
  auto replies = Read(fd, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "late;");
  ::close(fd);
}

TEST_F(ServerFixture, WhiteSpaceBetweenRequestsKeepsNoSlot) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer(std::chrono::seconds(10));
  int fd = Connect();
  SendWithPendingTail(fd, "");
  clock_->Advance(std::chrono::seconds(6));
  server_->RecheckDeadlinesForTest();
  Send(fd, "\n \r\n\t");
  server_->RecheckDeadlinesForTest();
  // 10 s after the last whole request, however much white space came since.
  clock_->Advance(std::chrono::seconds(4));
  server_->RecheckDeadlinesForTest();
  ExpectClosedByServer(fd);
}

TEST_F(ServerFixture, SlowHandlerLeavesTheNextRequestItsFullTime) {
  table_.Register("get/echo", "", 0, 3, Echo);
  table_.Register("get/slow", "", 0, 0, [this](const std::vector<std::string>&) -> CliReply {
    clock_->Advance(std::chrono::seconds(15));  // longer than the request time-out
    return {true, "done"};
  });
  StartServer(std::chrono::seconds(10));
  int fd = Connect();
  Send(fd, R"({"method":"get/slow","params":[],"id":1})");
  auto replies = Read(fd, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "done");
  ExpectServedJustBeforeTheNextDeadline(fd, std::chrono::seconds(10));
  ::close(fd);
}

TEST_F(ServerFixture, ARequestThatCameWhileAnotherCommandRanIsAnsweredPastItsDeadline) {
  table_.Register("get/echo", "", 0, 3, Echo);
  int late = -1;
  table_.Register("get/slow", "", 0, 0, [&](const std::vector<std::string>&) -> CliReply {
    // The other client's whole request arrives 2 s into its 10 s; this command runs 15 s.
    clock_->Advance(std::chrono::seconds(2));
    Send(late, R"({"method":"get/echo","params":["in time"],"id":2})");
    clock_->Advance(std::chrono::seconds(13));
    return {true, "done"};
  });
  StartServer(std::chrono::seconds(10));
  // Accepted first, so served first in the loop's pass.
  int slow = Connect();
  SendWithPendingTail(slow, "");
  late = Connect();
  SendWithPendingTail(late, "");
  Send(slow, R"({"method":"get/slow","params":[],"id":1})");
  ASSERT_EQ(Read(slow, 1).size(), 1u);
  auto replies = Read(late, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "in time;");
  // Answered, the connection has its full time for the next request.
  ExpectServedJustBeforeTheNextDeadline(late, std::chrono::seconds(10));
  ::close(late);
  ::close(slow);
}

TEST_F(ServerFixture, WaitingClientTakesTheSlotOfTheConnectionIdleLongest) {
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer(std::chrono::seconds(10));
  // Every slot holds a client that sends a whole request well within the time-out: none of
  // them is ever closed at its deadline.
  std::vector<int> busy;
  for (size_t i = 0; i < CommonCliServer::kMaxClients; ++i) {
    busy.push_back(Connect());
    SendWithPendingTail(busy.back(), "");
    clock_->Advance(std::chrono::milliseconds(500));
  }
  // The first one asked again since: the second is the one idle longest.
  SendWithPendingTail(busy[0], "");
  server_->RecheckDeadlinesForTest();
  qbx::logtest::CapturingSink sink;
  int waiting = Connect();
  Send(waiting, R"({"method":"get/echo","params":["17th"],"id":17})");
  // Served with no time passing at all.
  auto replies = Read(waiting, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "17th;");
  ExpectClosedByServer(busy[1]);
  EXPECT_EQ(sink.Count("Closing the connection idle longest (7500 ms)"), 1);
  // The others keep their slots.
  for (size_t i = 0; i < busy.size(); ++i) {
    if (i == 1) continue;
    Send(busy[i], R"({"method":"get/echo","params":["still"],"id":1})");
    ASSERT_EQ(Read(busy[i], 1).size(), 1u) << i;
    ::close(busy[i]);
  }
  ::close(waiting);
}

TEST_F(ServerFixture, AcceptRestsWhileDescriptorsAreExhaustedAndServesOnceTheyAreFree) {
  ScriptedAccept accept;
  int fd = StartWithAClientWaiting(accept);
  // The client still waits, but the clock has not moved: the loop does not try again.
  ThreePasses();
  EXPECT_EQ(accept.Calls(), 1);
  clock_->Advance(CommonCliServer::kAcceptRetryFirst - std::chrono::milliseconds(1));
  ThreePasses();
  EXPECT_EQ(accept.Calls(), 1);
  // Tried again once the pause is over, and again out of descriptors (of the system this
  // time): the next pause is twice as long.
  accept.FailWith(ENFILE);
  clock_->Advance(std::chrono::milliseconds(1));
  ThreePasses();
  EXPECT_EQ(accept.Calls(), 2);
  clock_->Advance(CommonCliServer::kAcceptRetryFirst);
  ThreePasses();
  EXPECT_EQ(accept.Calls(), 2);
  // Descriptors free again: the waiting client is served.
  accept.FailWith(0);
  clock_->Advance(CommonCliServer::kAcceptRetryFirst);
  server_->RecheckDeadlinesForTest();
  auto replies = Read(fd, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "in;");
  EXPECT_EQ(accept.Calls(), 3);
  ::close(fd);
}

TEST_F(ServerFixture, AcceptPauseDoublesToAtMostOneSecondAndStartsAgainAfterAnAccept) {
  ScriptedAccept accept;
  int fd = StartWithAClientWaiting(accept);
  ThreePasses();  // the pause was taken from the clock before it moves
  // Each try is exactly one pause after the one before: a long shortage leaves the waiting
  // client at most a second behind its end.
  int calls = 1;
  for (int pauseMs : {100, 200, 400, 800, 1000, 1000, 1000}) {
    clock_->Advance(std::chrono::milliseconds(pauseMs - 1));
    ThreePasses();
    EXPECT_EQ(accept.Calls(), calls) << "pause " << pauseMs;
    clock_->Advance(std::chrono::milliseconds(1));
    ThreePasses();
    EXPECT_EQ(accept.Calls(), ++calls) << "pause " << pauseMs;
  }
  accept.FailWith(0);
  clock_->Advance(CommonCliServer::kAcceptRetryMax);
  server_->RecheckDeadlinesForTest();
  ASSERT_EQ(Read(fd, 1).size(), 1u);
  ASSERT_EQ(accept.Calls(), ++calls);
  // A shortage after a connection was accepted starts with the first pause again.
  accept.FailWith(EMFILE);
  int next = Connect();
  ASSERT_TRUE(accept.WaitForCalls(++calls));
  ThreePasses();
  clock_->Advance(CommonCliServer::kAcceptRetryFirst - std::chrono::milliseconds(1));
  ThreePasses();
  EXPECT_EQ(accept.Calls(), calls);
  clock_->Advance(std::chrono::milliseconds(1));
  ThreePasses();
  EXPECT_EQ(accept.Calls(), calls + 1);
  ::close(next);
  ::close(fd);
}

// Restores the process's umask.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

TEST_F(ServerFixture, SocketIsNeverMoreOpenThan0600WhateverTheUmask) {
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  const std::string name = std::filesystem::path(path_).filename().string();
  // Every change of the mode of a file in the folder is an attribute event there.
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, std::filesystem::path(path_).parent_path().c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_ATTRIB),
            0);
  {
    ScopedUmask anyone(0);
    CommonCliServer server(path_, table_);
    ASSERT_EQ(server.Open(), 0);
    struct stat bound{};
    ASSERT_EQ(::lstat(path_.c_str(), &bound), 0);
    EXPECT_TRUE(S_ISSOCK(bound.st_mode));
    EXPECT_EQ(bound.st_mode & 07777, 0600u);
    // The file arrived at its path with that mode: it was not changed there afterwards.
    std::vector<uint32_t> events;
    alignas(inotify_event) char buffer[8192];
    ssize_t n;
    while ((n = ::read(watch, buffer, sizeof(buffer))) > 0) {
      for (char* at = buffer; at < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len > 0 && name == event->name) events.push_back(event->mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB));
        at += sizeof(inotify_event) + event->len;
      }
    }
    EXPECT_EQ(events, std::vector<uint32_t>{IN_MOVED_TO});
    // Nothing but the socket is left in the folder.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path_).parent_path())) {
      EXPECT_EQ(entry.path().filename(), name);
      ++entries;
    }
    EXPECT_EQ(entries, 1u);
  }
  ::close(watch);

  // A folder the server makes is not writable by others either.
  const std::string nested = (dir_.path() / "made" / "here" / "cli.sock").string();
  ScopedUmask anyone(0);
  CommonCliServer server(nested, table_);
  ASSERT_EQ(server.Open(), 0);
  struct stat folder{};
  ASSERT_EQ(::stat((dir_.path() / "made").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat(nested.c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0600u);

  // Nor is one below a parent that others could change (and so move it away and put their own
  // in its place): refused before anything is made there.
  const std::filesystem::path open = dir_.path() / "open";
  std::filesystem::create_directory(open);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  qbx::logtest::CapturingSink sink;
  CommonCliServer below((open / "run" / "cli.sock").string(), table_);
  EXPECT_EQ(below.Open(), -1);
  EXPECT_EQ(sink.Count("'" + open.string() + "' can be written by others (mode 0777)"), 1)
      << ::testing::PrintToString(sink.Texts());
  EXPECT_FALSE(std::filesystem::exists(open / "run"));
}

TEST_F(ServerFixture, ServerListeningAtThePathKeepsItsSocketAndStartIsRefused) {
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  // Another process's server at the path, its file left alone although its lock is gone.
  int live = BindAt(path_, true);
  struct stat before{};
  ASSERT_EQ(::lstat(path_.c_str(), &before), 0);
  {
    qbx::logtest::CapturingSink sink;
    CommonCliServer second(path_, table_);
    EXPECT_EQ(second.Open(), CommonCliServer::kSocketLive);
    EXPECT_EQ(sink.Count("[CLI][Open] Cannot listen on " + path_ +
                         ": a server is listening there; its socket is left alone"),
              1)
        << ::testing::PrintToString(sink.Texts());
  }
  struct stat after{};
  ASSERT_EQ(::lstat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  // And it still reaches that server.
  int client = Connect();
  int accepted = ::accept(live, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  ::close(accepted);
  ::close(client);
  ::close(live);

  // A serving server of ours, too: the second one goes away without touching its file.
  ASSERT_TRUE(std::filesystem::remove(path_));
  table_.Register("get/echo", "", 0, 3, Echo);
  StartServer();
  {
    CommonCliServer second(path_, table_);
    EXPECT_EQ(second.Open(), CommonCliServer::kSocketLive);
  }
  int fd = Connect();
  Send(fd, R"({"method":"get/echo","params":["first"],"id":1})");
  auto replies = Read(fd, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["result"], "first;");
  ::close(fd);
}

// The path's watch: the clock is moved to the next look, which Serve has made once the
// recheck returns.
class SocketPathWatch : public ServerFixture {
 protected:
  void NextLook() {
    clock_->Advance(CommonCliServer::kPathCheckInterval);
    server_->RecheckDeadlinesForTest();
  }
  // Serve ended for the lost path, with one record saying what was found there.
  void ExpectLost(const qbx::logtest::CapturingSink& sink, const std::string& found) {
    EXPECT_EQ(WaitForServeEnd(), CommonCliServer::kSocketPathLost);
    EXPECT_EQ(sink.Count("[CLI][Serve] " + path_ + " no longer leads to the socket listened on: " + found), 1)
        << ::testing::PrintToString(sink.Texts());
  }
  // Open again: served at the path.
  void ExpectServedAgain() {
    ASSERT_FALSE(thread_.joinable()) << "still serving";
    ASSERT_EQ(server_->Open(), 0);
    ServeInThread();
    int fd = Connect();
    ExpectEcho(fd, "again");
    ::close(fd);
  }
  void SetUp() override { table_.Register("get/echo", "", 0, 3, Echo); }
};

TEST_F(SocketPathWatch, ARemovedSocketFileIsNoticedAtTheNextLookAndListenedOnAgain) {
  StartServer();
  qbx::logtest::CapturingSink sink;
  // Looks at a path that still leads to the socket change nothing.
  NextLook();
  NextLook();
  int connected = Connect();
  SendWithPendingTail(connected, "");
  ASSERT_TRUE(std::filesystem::remove(path_));
  clock_->Advance(CommonCliServer::kPathCheckInterval - std::chrono::milliseconds(1));
  server_->RecheckDeadlinesForTest();
  EXPECT_EQ(sink.Count("no longer leads"), 0);
  clock_->Advance(std::chrono::milliseconds(1));
  server_->RecheckDeadlinesForTest();
  ExpectLost(sink, "nothing is there (No such file or directory)");
  ::close(connected);
  ExpectServedAgain();
}

TEST_F(SocketPathWatch, AFolderRenamedAwayIsMadeAgainAndTheOldSocketLeftWhereItWent) {
  StartServer();
  qbx::logtest::CapturingSink sink;
  const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
  const std::filesystem::path moved = dir_.path() / "moved";
  std::filesystem::rename(folder, moved);
  NextLook();
  ExpectLost(sink, "nothing is there (No such file or directory)");
  EXPECT_TRUE(std::filesystem::is_socket(moved / std::filesystem::path(path_).filename()));
  ExpectServedAgain();
}

TEST_F(SocketPathWatch, AnotherSocketPutThereIsNeitherRemovedNorReplacedWhileItsServerListens) {
  StartServer();
  qbx::logtest::CapturingSink sink;
  ASSERT_TRUE(std::filesystem::remove(path_));
  int impostor = BindAt(path_, true);
  struct stat theirs{};
  ASSERT_EQ(::lstat(path_.c_str(), &theirs), 0);
  NextLook();
  ExpectLost(sink, "another socket is there");
  // Refused as at start: the file stays theirs, and callers reach them.
  EXPECT_EQ(server_->Open(), CommonCliServer::kSocketLive);
  EXPECT_EQ(sink.Count("[CLI][Open] Cannot listen on " + path_ +
                       ": a server is listening there; its socket is left alone"),
            1);
  struct stat after{};
  ASSERT_EQ(::lstat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, theirs.st_ino);
  int client = Connect();
  ::fcntl(impostor, F_SETFL, O_NONBLOCK);  // a connection that went elsewhere fails the test, not hangs it
  int accepted = ::accept(impostor, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  ::close(accepted);
  ::close(client);
  // Once nobody listens there, its socket is stale and replaced.
  ::close(impostor);
  ExpectServedAgain();
}

// The end removes the socket file while the server still runs (a slow log can hold it for
// seconds): the look that finds nothing there misses nothing, the connections go on being
// served, and no server listens there again.
TEST_F(SocketPathWatch, AFileTheEndRemovedIsNotMissedNorListenedOnAgain) {
  StartServer();
  qbx::logtest::CapturingSink sink;
  int connected = Connect();
  struct EndPlayed {
    ~EndPlayed() { qbx::ForgetProcessEndingForTest(); }
  } played;
  qbx::RemoveSocketFilesForExit();
  ASSERT_FALSE(std::filesystem::exists(path_));
  NextLook();
  ExpectEcho(connected, "still");
  EXPECT_EQ(sink.Count("no longer leads"), 0) << ::testing::PrintToString(sink.Texts());
  CommonCliServer late(path_, table_);
  EXPECT_EQ(late.Open(), -1);
  EXPECT_FALSE(std::filesystem::exists(path_));
  ::close(connected);
}

TEST_F(SocketPathWatch, AFileThatIsNotASocketPutThereIsLeftAlone) {
  StartServer();
  qbx::logtest::CapturingSink sink;
  ASSERT_TRUE(std::filesystem::remove(path_));
  std::ofstream(path_) << "theirs";
  NextLook();
  ExpectLost(sink, "a regular file is there");
  EXPECT_EQ(server_->Open(), -1);
  std::ifstream kept(path_);
  std::string text;
  kept >> text;
  EXPECT_EQ(text, "theirs");
}

class OvsAppctl : public ServerFixture {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/ovs-appctl", X_OK) != 0) GTEST_SKIP() << "ovs-appctl (openvswitch-common) not installed";
    savedLevel_ = qbx::Logger::logLevel.load();
    DfwCliOptions options;
    // The callbacks run on the server's thread; the test reads what they recorded after
    // ovs-appctl returned, an ordering the race detector cannot see through the socket.
    options.schedule = [this](std::chrono::nanoseconds delay, std::function<void()> action) {
      std::lock_guard<std::mutex> lock(recordMutex_);
      scheduledDelays_.push_back(delay);
      scheduled_.push_back(std::move(action));
    };
    options.exitProcess = [this](int status) {
      std::lock_guard<std::mutex> lock(recordMutex_);
      exits_.push_back(status);
    };
    ASSERT_EQ(dfwRegisterCLI(table_, options), 0);
    StartServer();
  }
  void TearDown() override {
    ServerFixture::TearDown();
    qbx::Logger::logLevel = savedLevel_;
  }
  int Appctl(const std::string& args, std::string& out) {
    return Run("/usr/bin/ovs-appctl -t " + path_ + " " + args + " 2>&1", out);
  }

  qbx::LibraryLogLevel savedLevel_ = 4;
  std::mutex recordMutex_;
  std::vector<std::chrono::nanoseconds> scheduledDelays_;
  std::vector<std::function<void()>> scheduled_;
  std::vector<int> exits_;
};

TEST_F(OvsAppctl, SetLogLevelChangesTheGlobalLevel) {
  std::string out;
  EXPECT_EQ(Appctl("set/loglevel 5", out), 0);
  EXPECT_EQ(out, "log level set to 5\n");
  EXPECT_EQ(qbx::Logger::logLevel.load(), 5);
  out.clear();
  EXPECT_EQ(Appctl("set/loglevel warning", out), 0);
  EXPECT_EQ(qbx::Logger::logLevel.load(), 3);
  out.clear();
  EXPECT_EQ(Appctl("set/loglevel 9", out), 2);
  EXPECT_NE(out.find("invalid log level"), std::string::npos);
  EXPECT_EQ(qbx::Logger::logLevel.load(), 3);
  out.clear();
  EXPECT_EQ(Appctl("set/loglevel", out), 2);  // argument count checked before dispatch
  EXPECT_NE(out.find("requires at least 1"), std::string::npos);
}

TEST_F(OvsAppctl, OtherCommandsGetAClearError) {
  std::string out;
  EXPECT_EQ(Appctl("get/dfw/stats", out), 2);
  EXPECT_NE(out.find("\"get/dfw/stats\" is not a valid command"), std::string::npos);
}

TEST_F(OvsAppctl, SetStopExitsWithZeroAfterTenSecondsOnce) {
  std::string out;
  EXPECT_EQ(Appctl("set/stop", out), 0);
  EXPECT_EQ(out, "exporter stops in 10 seconds\n");
  out.clear();
  EXPECT_EQ(Appctl("set/stop", out), 0);  // a second request adds no second exit
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> lock(recordMutex_);
    ASSERT_EQ(scheduled_.size(), 1u);
    EXPECT_EQ(scheduledDelays_[0], std::chrono::seconds(10));
    EXPECT_TRUE(exits_.empty());  // nothing ends before the delay
    action = scheduled_[0];
  }
  action();
  std::lock_guard<std::mutex> lock(recordMutex_);
  EXPECT_EQ(exits_, std::vector<int>{0});
}

}  // namespace
