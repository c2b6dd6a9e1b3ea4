#include "platform/runtime/loop_core.h"

#include <exception>
#include <future>
#include <mutex>

#include <boost/asio/post.hpp>

#include "base/logger.h"

namespace qbx {
namespace {
// The core whose loop the current thread is running, if any (restored on nesting).
thread_local const LoopCore* current_loop = nullptr;
}  // namespace

void LoopCore::Guarded(const std::function<void()>& fn, const char* what, const std::string& name) {
  try {
    fn();
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError).put("[%s] %s on provider '%s' threw: %s", __func__, what,
                                  name.c_str(), e.what());
  } catch (...) {
    QBX_LOG(loglevel::kError).put("[%s] %s on provider '%s' threw a non-standard exception",
                                  __func__, what, name.c_str());
  }
}

bool LoopCore::Post(std::function<void()> task, const char* caller) {
  if (!task) return false;
  {
    std::shared_lock<std::shared_mutex> lock(post_mutex);
    if (!stopping_flag.load(std::memory_order_relaxed)) {
      boost::asio::post(*io, [task = std::move(task), n = shared_name] {
        Guarded(task, "posted task", *n);
      });
      return true;
    }
  }
  QBX_LOG(loglevel::kWarning).put("[%s] provider '%s' is stopping, task refused", caller,
                                  name.c_str());
  return false;
}

void LoopCore::PostInternal(std::function<void()> task) {
  boost::asio::post(*io, std::move(task));
}

bool LoopCore::MarkStopping() {
  std::unique_lock<std::shared_mutex> lock(post_mutex);
  return !stopping_flag.exchange(true, std::memory_order_acq_rel);
}

bool LoopCore::IsLoopThread() const { return current_loop == this; }

void LoopCore::RunHere(int mode, std::chrono::nanoseconds limit) {
  const LoopCore* previous = current_loop;
  current_loop = this;
  running_threads.fetch_add(1);
  try {
    if (mode == 0) {
      io->run();
    } else if (mode == 1) {
      io->poll();
    } else {
      io->run_for(limit);
    }
  } catch (const std::exception& e) {
    // Handlers are wrapped, so this is the io_context itself failing.
    QBX_LOG(loglevel::kError).put("[%s] loop of provider '%s' failed: %s", __func__, name.c_str(),
                                  e.what());
  }
  running_threads.fetch_sub(1);
  current_loop = previous;
}

void LoopCore::RunOnLoopAndWait(const std::function<void()>& fn) {
  if (IsLoopThread()) {
    Guarded(fn, "timer action", name);
    return;
  }
  if (async_running.load()) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    if (!Post([fn, done] {
          struct Signal {
            std::shared_ptr<std::promise<void>> p;
            ~Signal() { p->set_value(); }
          } signal{done};
          fn();
        }, "ManualClock::Advance")) {
      return;
    }
    finished.wait();
    return;
  }
  // Nobody runs the loop: run it here, long enough for the queued work and this action.
  if (stopping()) return;
  auto ran = std::make_shared<bool>(false);
  PostInternal([fn, ran, n = shared_name] {
    *ran = true;
    Guarded(fn, "timer action", *n);
  });
  while (!*ran) {
    if (io->stopped()) io->restart();
    RunHere(1);
  }
}

}  // namespace qbx
