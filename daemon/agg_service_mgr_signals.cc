#include "daemon/agg_service_mgr_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
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

// The write end of the fallback's pipe, read by the asynchronous handler.
std::atomic<int> gPipeWrite{-1};

void WriteSignalToPipe(int signum) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signum);
  (void)!write(gPipeWrite.load(std::memory_order_relaxed), &byte, 1);  // a full pipe drops it
  errno = saved;
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

bool SignalWaiter::StartPipeHandlers() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return false;
  if (pipeRead_ >= 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    LogFailure("pipe");
    return false;
  }
  pipeRead_ = fds[0];
  gPipeWrite.store(fds[1]);
  struct sigaction action = {};
  action.sa_handler = &WriteSignalToPipe;
  action.sa_flags = SA_RESTART;
  sigfillset(&action.sa_mask);
  sigset_t set = HandledSignals();
  for (int signum : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(signum, &action, nullptr);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  return true;
}

int SignalWaiter::PipeDescriptor() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pipeRead_;
}

void SignalWaiter::DispatchFromPipe() {
  const int fd = PipeDescriptor();
  if (fd < 0) return;
  unsigned char signums[64];
  ssize_t n;
  while ((n = read(fd, signums, sizeof(signums))) > 0) {
    for (ssize_t i = 0; i < n; ++i) Dispatch(signums[i]);
  }
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
      Dispatch(static_cast<int>(info.ssi_signo));
    }
  }
}

void SignalWaiter::Dispatch(int signum) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = handler_;
  }
  if (!handler) return;
  try {
    handler(signum);
  } catch (const std::exception& e) {
    QBX_LOG(loglevel::kError)
        .subcomp("agg-service")
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Handling signal %d failed: %s", "SignalWaiter", signum, e.what());
  } catch (...) {
    QBX_LOG(loglevel::kError)
        .subcomp("agg-service")
        .tag("errorCode:MPAERR_INTERNAL_ERROR")
        .put("[Core][%s] Handling signal %d failed", "SignalWaiter", signum);
  }
}

}  // namespace qbx
