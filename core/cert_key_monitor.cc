#include "core/cert_key_monitor.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include <boost/filesystem.hpp>

#include "base/logger.h"
#include "platform/runtime/timer.h"

namespace qbx {

namespace {
constexpr const char* kSubcomp = "cert-monitor";
}  // namespace

CertKeyMonitor::CertKeyMonitor(TimerFactory* timers, uint32_t intervalMs, std::function<void()> callback,
                               const std::string& certPath, const std::string& keyPath)
    : timers(timers), intervalMs(intervalMs), state(std::make_shared<State>()) {
  state->owner = this;
  state->callback = std::move(callback);
  state->certPath = certPath;
  state->keyPath = keyPath;
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("CertKeyMonitor::CertKeyMonitor() %p", static_cast<void*>(this));
}

CertKeyMonitor::~CertKeyMonitor() {
  if (timer) timer->Cancel();
}

int CertKeyMonitor::Run() {
  if (running) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("CertKeyMonitor Service Already Running");
    return 0;
  }
  boost::system::error_code certError;
  boost::system::error_code keyError;
  std::time_t certTime = boost::filesystem::last_write_time(state->certPath, certError);
  std::time_t keyTime = certError ? 0 : boost::filesystem::last_write_time(state->keyPath, keyError);
  if (certError || keyError) {
    QBX_LOG(loglevel::kWarning)
        .subcomp(kSubcomp)
        .put("Cannot get last modified time for cert and key. Not starting cert change monitoring.");
    return 2;
  }
  state->certTime = certTime;
  state->keyTime = keyTime;
  if (timers == nullptr) return 3;
  std::weak_ptr<State> weak = state;
  timer = timers->ScheduleRepeated(std::chrono::milliseconds(intervalMs), [weak] {
    if (auto alive = weak.lock()) Check(*alive);
  });
  if (!timer) return 3;
  running = true;
  QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("CertKeyMonitor::Run started");
  return 0;
}

void CertKeyMonitor::CheckCertKeyChange() { Check(*state); }

void CertKeyMonitor::Check(State& state) {
  try {
    // A file that is being replaced may be missing for a moment: wait for the next tick.
    if (!boost::filesystem::exists(state.certPath) || !boost::filesystem::exists(state.keyPath)) return;
    std::time_t certTime = boost::filesystem::last_write_time(state.certPath);
    std::time_t keyTime = boost::filesystem::last_write_time(state.keyPath);
    if (certTime == state.certTime || keyTime == state.keyTime) return;
    state.certTime = certTime;
    state.keyTime = keyTime;
    QBX_LOG(loglevel::kInfo)
        .subcomp(kSubcomp)
        .put("Cert change detected. Processing new cert and key %p", state.owner);
    if (!state.callback) throw std::runtime_error("no callback");
    state.callback();
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Error processing modified cert and key. %s", e.what());
  } catch (...) {
    QBX_LOG(loglevel::kWarning).subcomp(kSubcomp).put("Error processing modified cert and key. %s", "unknown error");
  }
}

}  // namespace qbx
