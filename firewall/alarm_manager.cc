#include "firewall/alarm_manager.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/logger.h"

namespace {

constexpr const char* kSubcomp = "agg-service";

std::mutex& InstanceMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

AlarmManager*& Instance() {
  static AlarmManager* instance = nullptr;
  return instance;
}

}  // namespace

int AlarmManager::CreateInstance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  if (Instance() != nullptr) return 0;
  // Leaked on purpose: worker threads may still use it while the process exits.
  Instance() = new AlarmManager(qbx::monitoring::EventSource_Init());
  return 1;
}

AlarmManager* AlarmManager::GetInstance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  return Instance();
}

AlarmManager::AlarmManager(std::shared_ptr<qbx::monitoring::EventSourceAPI> events) : events(std::move(events)) {}

int AlarmManager::AddSource(const std::shared_ptr<const AlarmCheck>& check) {
  if (!check || check->source.empty() || check->eventType.empty() || !check->healthy) {
    return qbx::monitoring::kEventSourceInvalidArgument;
  }
  int rc = qbx::monitoring::EventSource_Register(*events, check->source);
  if (rc != qbx::monitoring::kEventSourceOk) return rc;
  std::lock_guard<std::mutex> lock(sourcesMutex);
  sources.push_back(check);
  return rc;
}

int AlarmManager::CheckSources() {
  std::vector<std::shared_ptr<const AlarmCheck>> live;
  {
    std::lock_guard<std::mutex> lock(sourcesMutex);
    sources.erase(std::remove_if(sources.begin(), sources.end(), [](const auto& w) { return w.expired(); }),
                  sources.end());
    for (const auto& weak : sources) {
      if (auto check = weak.lock()) live.push_back(std::move(check));
    }
  }
  int raised = 0;
  for (const auto& check : live) {
    bool healthy = false;
    try {
      healthy = check->healthy();
    } catch (const std::exception& e) {
      QBX_LOG(qbx::loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("[AlarmManager][%s] health check of %s failed: %s", "CheckSources", check->source.c_str(), e.what());
    } catch (...) {
      QBX_LOG(qbx::loglevel::kWarning)
          .subcomp(kSubcomp)
          .put("[AlarmManager][%s] health check of %s failed", "CheckSources", check->source.c_str());
    }
    if (healthy) {
      qbx::monitoring::EventSource_Clear(*events, check->source, check->eventType);
    } else {
      qbx::monitoring::EventSource_Raise(*events, check->source, check->eventType, "unhealthy");
      ++raised;
    }
  }
  return raised;
}
