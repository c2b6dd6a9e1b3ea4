#include "firewall/process_exit.h"

#include <memory>
#include <mutex>
#include <utility>

#include "platform/runtime/asio_qbx_provider.h"

namespace qbx::firewall {

void RunAfter(std::chrono::nanoseconds delay, std::function<void()> action) {
  static std::mutex mutex;
  static AsioQbxProvider* provider = nullptr;  // never destroyed, like the process it ends
  std::lock_guard<std::mutex> lock(mutex);
  if (provider == nullptr) {
    provider = new AsioQbxProvider(AsioQbxProvider::Options{}, "firewall-deferred");
    provider->RunAsync(1);
  }
  provider->timers().Schedule(delay, std::move(action));
}

}  // namespace qbx::firewall
