// qbx::CertKeyMonitor watches a certificate file and its private-key file by their
// last-modification times (whole seconds, as the file system reports them) and calls a
// callback once both files have been replaced since the last accepted change. It polls on a
// repeating timer of an event-loop provider's timer service and never reads the files.
//
// Threading: Run is called once from the thread that builds the daemon, before the first
// tick. Every tick runs on the timer service's provider thread; the callback runs there
// too, without any lock held. The tick reaches the monitor's state through a weak
// reference, so a monitor destroyed before its provider stops is never touched by a late
// tick; the destructor also cancels the timer.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace qbx {

class Timer;
class TimerFactory;

class CertKeyMonitor {
 public:
  // `timers` is not owned and must outlive the monitor's timer (its provider's life).
  CertKeyMonitor(TimerFactory* timers, uint32_t intervalMs, std::function<void()> callback,
                 const std::string& certPath, const std::string& keyPath);
  ~CertKeyMonitor();
  CertKeyMonitor(const CertKeyMonitor&) = delete;
  CertKeyMonitor& operator=(const CertKeyMonitor&) = delete;

  // 0 started or already running; 2 a modification time cannot be read; 3 no timer.
  int Run();
  // One check; the timer's action.
  void CheckCertKeyChange();

  bool IsRunning() const { return running; }

 private:
  struct State {
    const void* owner = nullptr;  // the monitor's address, for the records
    std::function<void()> callback;
    std::string certPath;
    std::string keyPath;
    std::time_t certTime = 0;
    std::time_t keyTime = 0;
  };
  static void Check(State& state);

  TimerFactory* timers;
  uint32_t intervalMs;
  std::shared_ptr<State> state;
  std::shared_ptr<Timer> timer;
  bool running = false;
};

}  // namespace qbx
