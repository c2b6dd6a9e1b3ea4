#include "daemon/agg_service_mgr_signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "base/logger.h"

namespace qbx {

namespace {

void LogFailure(const char* what) {
  QBX_LOG(loglevel::kError)
      .subcomp("agg-service")
      .tag("errorCode:MPAERR_INTERNAL_ERROR")
      .put("[Core][%s] %s failed with errno(%s).", "SignalWaiter", what, std::strerror(errno));
}

}  // namespace

SignalWaiter& SignalWaiter::Instance() {
  static SignalWaiter* waiter = new SignalWaiter();
  return *waiter;
}

sigset_t SignalWaiter::HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signum : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, signum);
  return set;
}

void SignalWaiter::BlockHandledSignals() {
  sigset_t set = HandledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void SignalWaiter::TerminateWithDefaultAction(int signum) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signum, &action, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signum);
  // raise() targets this thread; once unblocked here the default action takes the process.
  raise(signum);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  // Still here: the signal's default is to be ignored. Restore the mask for the next wait.
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
}

SignalWaiter::~SignalWaiter() { Stop(); }

bool SignalWaiter::Start(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return false;
  // The waiting thread must have the signals blocked, whoever calls Start.
  BlockHandledSignals();
  sigset_t set = HandledSignals();
  int signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    LogFailure("signalfd");
    return false;
  }
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    LogFailure("eventfd");
    close(signalFd);
    return false;
  }
  try {
    thread_ = std::thread([this, signalFd, wakeFd] { Loop(signalFd, wakeFd); });
  } catch (const std::exception&) {
    LogFailure("Starting the signal thread");
    close(signalFd);
    close(wakeFd);
    return false;
  }
  handler_ = std::move(handler);
  signalFd_ = signalFd;
  wakeFd_ = wakeFd;
  return true;
}

void SignalWaiter::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void SignalWaiter::Stop() {
  std::thread thread;
  int signalFd;
  int wakeFd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    thread.swap(thread_);
    signalFd = signalFd_;
    wakeFd = wakeFd_;
    signalFd_ = wakeFd_ = -1;
    const uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof(one));
    if (thread.get_id() == std::this_thread::get_id()) {
      // Stopped from its own handler: the loop ends after the handler and closes its
      // descriptors itself.
      closeOnExit_ = true;
      thread.detach();
      return;
    }
  }
  thread.join();
  close(signalFd);
  close(wakeFd);
}

bool SignalWaiter::SendToWaiterForTest(int signum) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return false;
  return pthread_kill(thread_.native_handle(), signum) == 0;
}

void SignalWaiter::Loop(int signalFd, int wakeFd) {
  // Stop closes the descriptors after joining; a loop stopped from its own handler cannot
  // be joined, so it closes them on its way out.
  struct Closer {
    SignalWaiter* waiter;
    int a, b;
    ~Closer() {
      std::lock_guard<std::mutex> lock(waiter->mutex_);
      if (!waiter->closeOnExit_) return;
      waiter->closeOnExit_ = false;
      close(a);
      close(b);
    }
  } closer{this, signalFd, wakeFd};
  for (;;) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      LogFailure("poll");
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
      Handler handler;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = handler_;
      }
      if (!handler) continue;
      try {
        handler(static_cast<int>(info.ssi_signo));
      } catch (const std::exception& e) {
        QBX_LOG(loglevel::kError)
            .subcomp("agg-service")
            .tag("errorCode:MPAERR_INTERNAL_ERROR")
            .put("[Core][%s] Handling signal %d failed: %s", "SignalWaiter", static_cast<int>(info.ssi_signo), e.what());
      } catch (...) {
        QBX_LOG(loglevel::kError)
            .subcomp("agg-service")
            .tag("errorCode:MPAERR_INTERNAL_ERROR")
            .put("[Core][%s] Handling signal %d failed", "SignalWaiter", static_cast<int>(info.ssi_signo));
      }
    }
  }
}

}  // namespace qbx
