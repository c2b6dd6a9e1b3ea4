// The aggregation-service manager with doubles of the messaging channel, the clients'
// registration, the status source and the health-agent wrapper; and the signal thread.
#include "daemon/agg_service_mgr.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "aggsvc/vertical_adapter.h"
#include "daemon/agg_service_mgr_signals.h"
#include "platform/runtime/asio_qbx_provider.h"
#include "platform/runtime/manual_clock.h"
#include "tests/aggsvc/fakes/log_capture.h"
#include "tests/aggsvc/fakes/test_vertical.h"
#include "tests/base/log_test_support.h"
#include "zumbra/qbx/agg_service/l2/l2_status.pb.h"

namespace {

using qbx::test::FakeMpaMessageSender;
using qbx::test::FakeShaClientWrapper;
using qbx::test::FakeStatusSource;
using qbx::test::LogCapture;
using qbx::test::TestVertical;
using namespace std::chrono_literals;

// One ordered record of what the manager did to its surroundings.
struct Events {
  std::mutex mutex;
  std::vector<std::string> list;
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> lock(mutex);
    list.push_back(e);
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return list;
  }
  int Count(const std::string& e) {
    int n = 0;
    for (const auto& x : Get()) n += x == e;
    return n;
  }
};

class FakeChannel : public AggServiceMgrChannel {
 public:
  explicit FakeChannel(Events& events) : events(events) {}
  void StartMpaClientEventLoop(const std::string& id, const std::string& tn, const std::string& stub) override {
    events.Add("channel start " + id + " " + tn + " " + stub);
  }
  void StopMpaClientEventLoop() override {
    events.Add("channel stop");
    if (onStop) onStop();
  }
  void StartTnProxyClient() override { events.Add("tn proxy start"); }
  qbx::AsioQbxProvider* TnProxyProvider() override { return tnProvider.get(); }
  int NodePersona() override { return persona; }
  uint32_t SnProxySmartNicCount() override { return smartNics; }
  void StartSnProxyClient() override { events.Add("sn proxy start"); }

  Events& events;
  std::function<void()> onStop;
  std::shared_ptr<qbx::AsioQbxProvider> tnProvider;
  int persona = 0;
  uint32_t smartNics = 0;
};

// Hands every vertical a sender of its own, and none to the names in `refuse`.
class Registrar : public MpaVerticalRegistrar {
 public:
  std::shared_ptr<MpaMessageSender> RegisterVertical(const std::string& name, const ChannelContext&,
                                                     const ChannelContext&) override {
    if (refuse.count(name) != 0) return nullptr;
    return std::make_shared<FakeMpaMessageSender>();
  }
  std::shared_ptr<MpaMessageSender> RegisterVerticalSimple(const std::string&, const ChannelContext&) override {
    return nullptr;
  }
  std::set<std::string> refuse;
};

class RecordingStatusSource : public FakeStatusSource {
 public:
  explicit RecordingStatusSource(Events& events) : events(events) {}
  void Start() override { events.Add("status source start"); }
  void Stop() override { events.Add("status source stop"); }
  Events& events;
};

class RecordingSha : public FakeShaClientWrapper {
 public:
  explicit RecordingSha(Events& events) : events(events) {}
  void Start() override { events.Add("sha start"); }
  void Stop() override { events.Add("sha stop"); }
  Events& events;
};

std::shared_ptr<TestVertical> MakeVertical(const std::string& name, Events* events = nullptr) {
  auto v = std::make_shared<TestVertical>(name);
  v->registrar = [name, events](const std::shared_ptr<AggServiceClient>&) {
    if (events) events->Add("register " + name);
  };
  return v;
}

// A vertical whose open asks the status source for one runtime-status type.
std::shared_ptr<TestVertical> MakeStatusVertical(const std::string& name) {
  auto v = std::make_shared<TestVertical>(name);
  v->registrar = [](const std::shared_ptr<AggServiceClient>& client) {
    client->RegisterGenericPullHandler<zumbra::qbx::agg_service::l2::LogicalPortState>(
        [] { return std::optional<std::shared_ptr<GenericRuntimeStatusUpdateMsg>>(); },
        [](const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&,
           const std::shared_ptr<GenericRuntimeStatusUpdateMsg>&) { return true; });
  };
  return v;
}

class ManagerTest : public ::testing::Test {
 protected:
  AggServiceMgr::Deps MakeDeps() {
    AggServiceMgr::Deps deps;
    deps.channel = channel;
    auto registrar = this->registrar;
    auto snicFlags = this->snicFlags;
    deps.makeClient = [registrar, snicFlags](const std::shared_ptr<Vertical>& vertical, bool snic,
                                             const AggServiceMgr::StatusSourcePtr& ss,
                                             const AggServiceMgr::ShaWrapperPtr& sha, RemoteCollector* collector) {
      EXPECT_NE(collector, nullptr);
      (*snicFlags)[vertical->Name()] = snic;
      return std::make_shared<AggServiceClient>(vertical, ss, sha,
                                                AggServiceClient::Deps{registrar, [] { return 0; }});
    };
    deps.createWorkGroup = [this](qbx::AsioQbxProvider&) { events.Add("work group"); };
    deps.takeOverSignals = [this](std::function<void(int)>) { events.Add("signals taken over"); };
    deps.makeHealthAlarmReporter = [](const AggServiceMgr::StatusSourcePtr&) { return std::make_shared<int>(0); };
    deps.wallClock = [this] { return std::chrono::system_clock::time_point(std::chrono::system_clock::duration(wallNs.load())); };
    deps.configRoot = configRoot;
    return deps;
  }
  std::unique_ptr<AggServiceMgr> Make(std::vector<std::shared_ptr<Vertical>> list) {
    return std::make_unique<AggServiceMgr>(list, statusSource, sha, MakeDeps());
  }
  // Index of the first captured record containing `text` (records are in emission order).
  std::vector<std::string> Records() { return sink.Texts(); }
  size_t IndexOf(const std::string& text) {
    auto lines = Records();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return i;
    }
    ADD_FAILURE() << "no record with '" << text << "'";
    return lines.size();
  }
  int CountOf(const std::string& text) { return sink.Count(text); }

  qbx::logtest::CapturingSink sink;
  Events events;
  std::shared_ptr<FakeChannel> channel = std::make_shared<FakeChannel>(events);
  std::shared_ptr<Registrar> registrar = std::make_shared<Registrar>();
  std::shared_ptr<RecordingStatusSource> statusSource = std::make_shared<RecordingStatusSource>(events);
  std::shared_ptr<RecordingSha> sha = std::make_shared<RecordingSha>(events);
  std::shared_ptr<std::map<std::string, bool>> snicFlags = std::make_shared<std::map<std::string, bool>>();
  std::atomic<std::chrono::system_clock::duration::rep> wallNs{std::chrono::system_clock::duration(1000h).count()};
  std::string configRoot = "/nonexistent/";
};

TEST_F(ManagerTest, RefusesUnusableVerticalLists) {
  std::vector<std::shared_ptr<Vertical>> empty;
  try {
    AggServiceMgr mgr(empty, statusSource, sha, MakeDeps());
    FAIL() << "no exception";
  } catch (const VerticalInitException& e) {
    EXPECT_STREQ(e.what(), "Empty vertical list");
  }
  EXPECT_EQ(CountOf("[AggServiceMgr] Vertical list is empty"), 1);
  EXPECT_EQ(CountOf("errorCode=\"MPA10045\""), 1);

  for (std::shared_ptr<Vertical> bad : {std::shared_ptr<Vertical>(), std::shared_ptr<Vertical>(MakeVertical(""))}) {
    try {
      Make({MakeVertical("A"), bad});
      FAIL() << "no exception";
    } catch (const VerticalInitException& e) {
      EXPECT_STREQ(e.what(), "Vertical object or vertical name is empty");
    }
  }
  EXPECT_EQ(CountOf("[AggServiceMgr] Null vertical object or empty vertical name"), 2);

  // The repeated name is refused after the first of the two has registered its callbacks.
  try {
    Make({MakeVertical("A", &events), MakeVertical("B", &events), MakeVertical("A", &events)});
    FAIL() << "no exception";
  } catch (const VerticalInitException& e) {
    EXPECT_STREQ(e.what(), "Duplicate entries in vertical list");
  }
  EXPECT_EQ(events.Get(), (std::vector<std::string>{"register A", "register B"}));
  EXPECT_EQ(CountOf("[AggServiceMgr] Vertical with name A is already registered"), 1);
  EXPECT_EQ(CountOf("errorCode=\"MPA10047\""), 1);
}

TEST_F(ManagerTest, SmartNicClientFollowsKindOneEntries) {
  auto dfw = MakeVertical("DFWRuleStats");
  dfw->AddAdapterEntry(SNIC_ADAPTER, "dummy-adapter");
  auto idps = MakeVertical("IDPSRuleStats");
  idps->AddAdapterEntry(0, "zumbra.qbx.agg_service.l2.MacTableMsg");
  auto mgr = Make({dfw, idps});
  EXPECT_TRUE((*snicFlags)["DFWRuleStats"]);
  EXPECT_FALSE((*snicFlags)["IDPSRuleStats"]);
  EXPECT_EQ(CountOf("Creating SnicAggServiceClient for DFWRuleStats"), 1);
  EXPECT_EQ(CountOf("Creating SnicAggServiceClient for IDPSRuleStats"), 0);
  EXPECT_EQ(CountOf("Adding 2 verticals"), 1);
  EXPECT_EQ(mgr->Clients().size(), 2u);
}

TEST_F(ManagerTest, StartsInNameOrderAndStopsInNameOrderOnTerminate) {
  auto mgr = Make({MakeVertical("HostNodeStatusVertical"), MakeVertical("FabricStats")});
  // The channel carries every client's answers: it stops once, after the last client.
  int clientsStoppedAtChannelStop = -1;
  channel->onStop = [&] { clientsStoppedAtChannelStop = CountOf("[StopAllAggClients] AggSvc client["); };
  // A stop request that arrives before the loop is reached is not lost.
  mgr->OnTerminateSignal(SIGTERM);
  EXPECT_EQ(mgr->Start("qbx-exporter"), 0);

  EXPECT_EQ(events.Get(),
            (std::vector<std::string>{"signals taken over", "work group",
                                      "channel start AggSvc tcp://127.0.0.1:9004 tcp://127.0.0.1:4096",
                                      "tn proxy start", "sha start", "status source start", "status source stop",
                                      "sha stop", "channel stop"}));
  std::vector<std::string> order = {
      "[Start] Start AggServiceMgr",
      "Starting 2 AggSvc clients",
      "[StartAllAggClients] Starting AggSvc client: FabricStats",
      "[StartAllAggClients] AggSvc client[FabricStats] created",
      "[StartAllAggClients] Starting AggSvc client: HostNodeStatusVertical",
      "[StartAllAggClients] AggSvc client[HostNodeStatusVertical] created",
      "[StartAllAggClients] AggSvc client[FabricStats] started",
      "[StartAllAggClients] AggSvc client[HostNodeStatusVertical] started",
      "[StartAllAggClients] TnProxyClientCommon for AggSvc client started",
      "Stopping 2 AggSvc clients",
      "[StopAllAggClients] Stopping AggSvc client: FabricStats",
      "[StopAllAggClients] AggSvc client[FabricStats] stopped",
      "[StopAllAggClients] Stopping AggSvc client: HostNodeStatusVertical",
      "[StopAllAggClients] AggSvc client[HostNodeStatusVertical] stopped",
      "[Start] Shutting down AggServiceMgr"};
  for (size_t i = 1; i < order.size(); ++i) EXPECT_LT(IndexOf(order[i - 1]), IndexOf(order[i])) << order[i];
  EXPECT_EQ(clientsStoppedAtChannelStop, 2);
  EXPECT_EQ(CountOf("SNProxyClientCommon"), 0);
  EXPECT_EQ(mgr->ComponentName(), "qbx-exporter");
}

TEST_F(ManagerTest, FailedSetUpStopsThePassAndOpensNothing) {
  registrar->refuse = {"B"};
  auto mgr = Make({MakeVertical("C"), MakeVertical("B"), MakeVertical("A")});
  int rc = mgr->Start("qbx-exporter");
  EXPECT_LT(rc, 0);
  EXPECT_LT(IndexOf("[StartAllAggClients] AggSvc client[A] created"),
            IndexOf("[StartAllAggClients] SetupAggServiceClient failed for app B"));
  EXPECT_LT(IndexOf("SetupAggServiceClient failed for app B"), IndexOf("[Start] Failed to start AggServiceMgr"));
  EXPECT_EQ(CountOf("errorCode=\"MPA10049\""), 1);
  EXPECT_EQ(CountOf("errorCode=\"MPA10048\""), 1);
  EXPECT_EQ(CountOf("Starting AggSvc client: C"), 0);
  EXPECT_EQ(CountOf("] started"), 0);
  // Nothing is stopped, and the status source was never started.
  EXPECT_EQ(events.Count("status source start"), 0);
  EXPECT_EQ(events.Count("channel stop"), 0);
  EXPECT_EQ(CountOf("Shutting down AggServiceMgr"), 0);
}

TEST_F(ManagerTest, RefusedRuntimeStatusTypeFailsTheOpenPass) {
  statusSource->refused = {"zumbra.qbx.agg_service.l2.LogicalPortState"};
  auto mgr = Make({MakeVertical("A"), MakeStatusVertical("B"), MakeVertical("C")});
  EXPECT_LT(mgr->Start("qbx-exporter"), 0);
  EXPECT_EQ(CountOf("created"), 3);  // the set-up pass completed
  EXPECT_EQ(CountOf("[StartAllAggClients] AggSvc client[A] started"), 1);
  EXPECT_LT(IndexOf("OpenAggServiceClient failed for app B"), IndexOf("Failed to start AggServiceMgr"));
  EXPECT_EQ(CountOf("AggSvc client[C] started"), 0);
  EXPECT_EQ(CountOf("TnProxyClientCommon"), 0);
}

TEST_F(ManagerTest, StopRequestFromAnotherThreadEndsTheLoop) {
  auto mgr = Make({MakeVertical("A")});
  std::atomic<int> rc{1};
  std::thread loop([&] { rc = mgr->Start("qbx-exporter"); });
  // Signals without a stop meaning leave the loop running.
  mgr->HandleSignal(SIGUSR1);
  mgr->OnTerminateSignal(SIGHUP);
  EXPECT_FALSE(mgr->StopRequested());
  mgr->HandleSignal(SIGINT);
  loop.join();
  EXPECT_EQ(rc.load(), 0);
  EXPECT_EQ(CountOf("Shutting down AggServiceMgr"), 1);
}

TEST_F(ManagerTest, HangupRereadsTheComponentsLevel) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("agg_mgr_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "qbx-exporter");
  configRoot = dir.string() + "/";
  auto mgr = Make({MakeVertical("A")});
  mgr->OnTerminateSignal(SIGTERM);
  ASSERT_EQ(mgr->Start("qbx-exporter"), 0);

  std::ofstream(dir / "qbx-exporter" / "config.json") << R"({"logLevel": 5})";
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  mgr->HandleSignal(SIGHUP);
  EXPECT_EQ(qbx::Logger::logLevel.load(), 5);
  EXPECT_EQ(CountOf("Changing qbx-exporter log level to debug"), 1);

  std::ofstream(dir / "qbx-exporter" / "config.json") << R"({"logLevel": 3})";
  mgr->HandleSignal(SIGHUP);
  EXPECT_EQ(qbx::Logger::logLevel.load(), 3);
  EXPECT_EQ(CountOf("log level to warn"), 0);
  std::filesystem::remove_all(dir);
}

// Without a signal thread the signals reach the manager through the fallback's pipe: SIGHUP
// still re-reads the level and SIGTERM still stops everything in order.
TEST_F(ManagerTest, WithoutASignalThreadSignalsComeThroughThePipe) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("agg_mgr_pipe_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "qbx-exporter");
  std::ofstream(dir / "qbx-exporter" / "config.json") << R"({"logLevel": 5})";
  configRoot = dir.string() + "/";
  qbx::Logger::logLevel = qbx::loglevel::kInfo;

  qbx::SignalWaiter waiter;  // its thread never started, as when it cannot be
  std::mutex mutex;
  std::condition_variable cond;
  std::vector<int> handled;
  std::promise<void> takenOver;
  auto deps = MakeDeps();
  deps.takeOverSignals = [&](std::function<void(int)> handler) {
    waiter.SetHandler([&, handler](int signum) {
      handler(signum);
      std::lock_guard<std::mutex> lock(mutex);
      handled.push_back(signum);
      cond.notify_all();
    });
    EXPECT_TRUE(waiter.StartPipeHandlers());
    takenOver.set_value();
  };
  deps.signalPipe = [&waiter] { return waiter.PipeDescriptor(); };
  deps.dispatchSignals = [&waiter] { waiter.DispatchFromPipe(); };
  std::vector<std::shared_ptr<Vertical>> list{MakeVertical("A")};
  AggServiceMgr mgr(list, statusSource, sha, deps);
  int result = -100;
  std::thread mainThread([&] { result = mgr.Start("qbx-exporter"); });
  takenOver.get_future().wait();

  // The handlers are asynchronous ones on the thread that took the signals over.
  ASSERT_EQ(pthread_kill(mainThread.native_handle(), SIGHUP), 0);
  {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [&] { return !handled.empty(); });
  }
  EXPECT_EQ(qbx::Logger::logLevel.load(), 5);
  EXPECT_EQ(CountOf("Changing qbx-exporter log level to debug"), 1);
  EXPECT_FALSE(mgr.StopRequested());

  ASSERT_EQ(pthread_kill(mainThread.native_handle(), SIGTERM), 0);
  mainThread.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(handled, (std::vector<int>{SIGHUP, SIGTERM}));
  EXPECT_EQ(CountOf("Shutting down AggServiceMgr"), 1);
  qbx::Logger::logLevel = qbx::loglevel::kInfo;
  std::filesystem::remove_all(dir);
}

TEST_F(ManagerTest, LivenessStampFollowsTheThirtySecondTimer) {
  auto clock = std::make_shared<qbx::ManualClock>();
  auto provider = std::make_shared<qbx::AsioQbxProvider>(qbx::AsioQbxProvider::Options{}, "tn", clock);
  std::vector<std::string> reporterFor;
  auto deps = MakeDeps();
  deps.makeHealthAlarmReporter = [&](const AggServiceMgr::StatusSourcePtr& ss) {
    reporterFor.push_back(ss == statusSource ? "status source" : "other");
    return std::make_shared<int>(0);
  };
  std::vector<std::shared_ptr<Vertical>> list = {MakeVertical("A")};
  AggServiceMgr mgr(list, statusSource, sha, deps);

  mgr.StartHealthAlarmReporter(*provider);
  EXPECT_EQ(reporterFor, std::vector<std::string>{"status source"});
  EXPECT_TRUE(mgr.IsHealthy());
  wallNs += std::chrono::duration_cast<std::chrono::system_clock::duration>(299s).count();
  EXPECT_TRUE(mgr.IsHealthy());
  wallNs += std::chrono::duration_cast<std::chrono::system_clock::duration>(1s).count();
  EXPECT_FALSE(mgr.IsHealthy());
  clock->Advance(29s);
  EXPECT_FALSE(mgr.IsHealthy());
  clock->Advance(1s);  // the timer stamps "now"
  EXPECT_TRUE(mgr.IsHealthy());
  provider->StopAndWait();
}

TEST_F(ManagerTest, SmartNicProxyStartsOnlyWithSmartNicsAndAllowedPersona) {
  struct Case {
    int persona;
    uint32_t smartNics;
    bool started;
  };
  for (Case c : {Case{1, 2, true}, Case{2, 1, true}, Case{3, 2, false}, Case{0, 0, false}}) {
    Events local;
    auto ch = std::make_shared<FakeChannel>(local);
    ch->persona = c.persona;
    ch->smartNics = c.smartNics;
    auto deps = MakeDeps();
    deps.channel = ch;
    std::vector<std::shared_ptr<Vertical>> list = {MakeVertical("A")};
    AggServiceMgr mgr(list, statusSource, sha, deps);
    mgr.OnTerminateSignal(SIGTERM);
    EXPECT_EQ(mgr.Start("qbx-exporter"), 0);
    EXPECT_EQ(local.Count("sn proxy start"), c.started ? 1 : 0) << "persona " << c.persona;
  }
  EXPECT_EQ(CountOf("[StartAllAggClients] SNProxyClientCommon for AggSvc client started"), 2);
}

TEST_F(ManagerTest, SecondCreateInstanceKeepsTheFirstManager) {
  std::vector<std::shared_ptr<Vertical>> first = {MakeVertical("First")};
  ASSERT_EQ(AggServiceMgr::CreateInstance(first, MakeDeps()), 0);
  AggServiceMgr* instance = AggServiceMgr::GetInstance();
  ASSERT_NE(instance, nullptr);
  std::vector<std::shared_ptr<Vertical>> second = {MakeVertical("Second")};
  EXPECT_EQ(AggServiceMgr::CreateInstance(second, MakeDeps()), 1);
  EXPECT_EQ(AggServiceMgr::GetInstance(), instance);
  EXPECT_EQ(instance->Clients().count("First"), 1u);
  EXPECT_EQ(instance->Clients().count("Second"), 0u);
}

// ---- the signal thread ----

class SignalWaiterTest : public ::testing::Test {
 protected:
  void Expect(int signum) {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [&] { return !seen.empty(); });
    EXPECT_EQ(seen.front().first, signum);
    EXPECT_NE(seen.front().second, std::this_thread::get_id());
    seen.erase(seen.begin());
  }
  std::function<void(int)> Recorder(const std::string& tag) {
    return [this, tag](int signum) {
      std::lock_guard<std::mutex> lock(mutex);
      tags.push_back(tag);
      seen.emplace_back(signum, std::this_thread::get_id());
      cond.notify_all();
    };
  }
  std::mutex mutex;
  std::condition_variable cond;
  std::vector<std::pair<int, std::thread::id>> seen;
  std::vector<std::string> tags;
};

TEST_F(SignalWaiterTest, DeliversOnItsThreadSwapsHandlersAndSurvivesAThrowingHandler) {
  qbx::logtest::CapturingSink sink;
  qbx::SignalWaiter waiter;
  ASSERT_TRUE(waiter.Start(Recorder("startup")));
  EXPECT_FALSE(waiter.Start(Recorder("again")));
  ASSERT_TRUE(waiter.SendToWaiterForTest(SIGUSR1));
  Expect(SIGUSR1);

  // The handler in force when the signal is taken runs; a throwing one does not end the thread.
  std::promise<void> thrown;
  waiter.SetHandler([&thrown](int) {
    thrown.set_value();
    throw std::runtime_error("boom");
  });
  ASSERT_TRUE(waiter.SendToWaiterForTest(SIGHUP));
  thrown.get_future().wait();
  waiter.SetHandler(Recorder("manager"));
  ASSERT_TRUE(waiter.SendToWaiterForTest(SIGTERM));
  Expect(SIGTERM);
  EXPECT_EQ(tags, (std::vector<std::string>{"startup", "manager"}));
  EXPECT_EQ(sink.Count("Handling signal 1 failed: boom"), 1);

  waiter.Stop();
  EXPECT_FALSE(waiter.SendToWaiterForTest(SIGUSR1));
  waiter.Stop();  // a second stop does nothing
}

TEST(SignalWaiterDeathTest, UnclaimedSignalTakesItsDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        qbx::SignalWaiter::BlockHandledSignals();
        qbx::SignalWaiter::TerminateWithDefaultAction(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
