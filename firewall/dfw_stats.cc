#include "firewall/dfw_stats.h"

#include <exception>
#include <utility>

#include "base/logger.h"
#include "firewall/alarm_manager.h"
#include "base/process_exit.h"
#include "firewall/process_exit.h"
#include "nodedb/nodedb_client_exporter.h"

namespace {
constexpr const char* kSubcomp = "agg-service";
}  // namespace

DfwStatsModule::DfwStatsModule(DfwStatsOptions options) : options(std::move(options)) {
  if (!this->options.schedule) this->options.schedule = qbx::firewall::RunAfter;
  if (!this->options.exitProcess) this->options.exitProcess = [](int status) { qbx::ExitProcess(status); };
}

DfwStatsModule::~DfwStatsModule() { Stop(); }

int DfwStatsModule::Init(std::shared_ptr<qbx::NodeDbClientExporter> nodeDbHolder, qbx::TimerFactory* timers) {
  if (!nodeDbHolder || timers == nullptr) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA12101")
        .put("[DFW][%s] No configuration-database holder", "dfwStatsInit");
    return -1;
  }
  holder = std::move(nodeDbHolder);
  // The threshold manager raises its alarms through the alarm manager.
  alarms = options.alarms;
  if (alarms == nullptr) {
    AlarmManager::CreateInstance();
    alarms = AlarmManager::GetInstance();
  }
  if (!certMonitor) {
    certMonitor = std::make_unique<qbx::CertKeyMonitor>(timers, options.certIntervalMs, [this] { OnCertChange(); },
                                                        options.certPath, options.keyPath);
  }
  certMonitor->Run();
  initialised = true;
  return 0;
}

void DfwStatsModule::OnCertChange() {
  bool exporting = options.flowExportEnabled && options.flowExportEnabled();
  if (!exporting) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[DFW][%s] Host certificate and key changed; flow export is disabled, nothing to restart",
             "OnCertChange");
    return;
  }
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[DFW][%s] Host certificate and key changed; restarting to use them", "OnCertChange");
  auto exitProcess = options.exitProcess;
  options.schedule(options.certExitDelay, [exitProcess] { exitProcess(0); });
}

int DfwStatsModule::Start(bool aggSvcThread) {
  if (!initialised || started) return -1;
  if (aggSvcThread) {
    QBX_LOG(qbx::loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("[DFW][%s] No firewall statistics service thread on this node", "dfwStatsStart");
  }
  try {
    pollThread = std::thread([this] { PollLoop(); });
    thresholdThread = std::thread([this] { ThresholdLoop(); });
  } catch (const std::exception& e) {
    QBX_LOG(qbx::loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA12101")
        .put("[DFW][%s] Cannot start a statistics thread: %s", "dfwStatsStart", e.what());
    Stop();
    return -1;
  }
  started = true;
  return 0;
}

void DfwStatsModule::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  cv.notify_all();
  if (pollThread.joinable()) pollThread.join();
  if (thresholdThread.joinable()) thresholdThread.join();
}

bool DfwStatsModule::WaitPeriod(std::chrono::nanoseconds period) {
  std::unique_lock<std::mutex> lock(mutex);
  return !cv.wait_for(lock, period, [this] { return stopping; });
}

void DfwStatsModule::Ticked() {
  { std::lock_guard<std::mutex> lock(mutex); }
  cv.notify_all();
}

void DfwStatsModule::WaitForTicks(uint64_t pollTicks, uint64_t thresholdTicks) {
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return stopping || (polls.load() >= pollTicks && thresholdChecks.load() >= thresholdTicks); });
}

void DfwStatsModule::PollLoop() {
  QBX_LOG(qbx::loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[DFW][%s] No firewall kernel module on this node: no flows or rule statistics to poll", "PollLoop");
  while (WaitPeriod(options.pollPeriod)) {
    ++polls;
    Ticked();
  }
}

void DfwStatsModule::ThresholdLoop() {
  while (WaitPeriod(options.thresholdPeriod)) {
    try {
      if (alarms != nullptr) alarms->CheckSources();
    } catch (const std::exception& e) {
      QBX_LOG(qbx::loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("[DFW][%s] Threshold check failed: %s", "ThresholdLoop", e.what());
    }
    ++thresholdChecks;
    Ticked();
  }
}

DfwStatsModule& DfwStats() {
  static auto* module = new DfwStatsModule;
  return *module;
}

int dfwStatsInit(std::shared_ptr<qbx::NodeDbClientExporter> holder) {
  qbx::TimerFactory* timers = holder ? &holder->provider().timers() : nullptr;
  return DfwStats().Init(std::move(holder), timers);
}

int dfwStatsStart(bool aggSvcThread) { return DfwStats().Start(aggSvcThread); }
