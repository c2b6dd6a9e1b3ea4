// The firewall statistics module: dfwStatsInit gives it the configuration-database holder,
// starts its threshold manager and installs the host certificate monitor; dfwStatsStart
// starts its poll thread and its threshold-monitor thread (each every 10 s).
//
// On this node there is no firewall kernel module and flow export is never configured, so:
// - the poll thread has nothing to read: it says so once and only keeps its period;
// - the threshold-monitor thread runs the alarm manager's passes (the alarm sources such as
//   "aggSvc_health" are evaluated there);
// - a change of the host certificate and key is logged and ignored (the exit that would
//   restart the daemon with new credentials applies only while flow export is enabled).
//
// Threading: Init and Start run on the main thread during start-up. The two threads share
// only the counters (atomics) and the stop flag (under `mutex`); Stop wakes and joins them.
// The process's module is never destroyed, so its threads simply end with the process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/cert_key_monitor.h"

namespace qbx {
class NodeDbClientExporter;
class TimerFactory;
}  // namespace qbx
class AlarmManager;

struct DfwStatsOptions {
  std::chrono::nanoseconds pollPeriod = std::chrono::seconds(10);
  std::chrono::nanoseconds thresholdPeriod = std::chrono::seconds(10);
  std::string certPath = "/etc/zumbra/qbx/host-cert.pem";
  std::string keyPath = "/etc/zumbra/qbx/host-privkey.pem";
  uint32_t certIntervalMs = 60000;
  std::chrono::nanoseconds certExitDelay = std::chrono::seconds(10);
  // Null: the process's alarm manager (created when missing).
  AlarmManager* alarms = nullptr;
  // Whether flow export is enabled; never on this node unless injected.
  std::function<bool()> flowExportEnabled;
  // Defaults: qbx::firewall::RunAfter and qbx::ExitProcess.
  std::function<void(std::chrono::nanoseconds, std::function<void()>)> schedule;
  std::function<void(int)> exitProcess;
};

class DfwStatsModule {
 public:
  explicit DfwStatsModule(DfwStatsOptions options = {});
  ~DfwStatsModule();
  DfwStatsModule(const DfwStatsModule&) = delete;
  DfwStatsModule& operator=(const DfwStatsModule&) = delete;

  // 0, or -1 without a holder (or timer service). Installs the certificate monitor on
  // `timers` (the holder's provider in the daemon); a monitor that cannot start (no
  // certificate on the node) is logged by the monitor and does not fail the module.
  int Init(std::shared_ptr<qbx::NodeDbClientExporter> holder, qbx::TimerFactory* timers);
  // 0, or -1 when not initialised or already started.
  int Start(bool aggSvcThread);
  // Ends and joins the threads; the module cannot be started again.
  void Stop();

  uint64_t PollCount() const { return polls.load(); }
  uint64_t ThresholdCount() const { return thresholdChecks.load(); }
  const qbx::CertKeyMonitor* CertMonitor() const { return certMonitor.get(); }
  // Blocks until the threads have run at least this many periods (or Stop).
  void WaitForTicks(uint64_t pollTicks, uint64_t thresholdTicks);

 private:
  void PollLoop();
  void ThresholdLoop();
  void OnCertChange();
  // Waits one period; false once stopping.
  bool WaitPeriod(std::chrono::nanoseconds period);
  void Ticked();

  DfwStatsOptions options;
  std::shared_ptr<qbx::NodeDbClientExporter> holder;
  std::unique_ptr<qbx::CertKeyMonitor> certMonitor;
  AlarmManager* alarms = nullptr;
  bool initialised = false;
  bool started = false;

  std::mutex mutex;  // guards stopping; signalled on stop and on every tick
  std::condition_variable cv;
  bool stopping = false;
  std::atomic<uint64_t> polls{0};
  std::atomic<uint64_t> thresholdChecks{0};
  std::thread pollThread;
  std::thread thresholdThread;
};

// The process's module, created on first use and never destroyed.
DfwStatsModule& DfwStats();
// dfwStatsInit: the process's module with the holder and its provider's timers.
int dfwStatsInit(std::shared_ptr<qbx::NodeDbClientExporter> holder);
int dfwStatsStart(bool aggSvcThread);
