// The daemon's one signal-waiting thread.
//
// SIGINT, SIGTERM, SIGHUP and SIGUSR1 are blocked in every thread (main blocks them on its
// first lines, and threads inherit the mask), and this thread alone takes them from a
// signalfd. What a signal does runs here, on an ordinary stack: logging, reading the
// component's configuration file and waking the main loop are not async-signal-safe, so no
// asynchronous handler is ever installed for them. The handler in force changes once: main
// installs the start-up one (SIGUSR1 toggles verbose logging) and the aggregation-service
// manager replaces it when it starts.
//
// When the waiting thread cannot be started, StartPipeHandlers is the fallback: asynchronous
// handlers that only write the signal's number to a pipe, whose read end the manager's main
// loop watches; it then runs the handler in force on the main thread (DispatchFromPipe), so
// a stop is still orderly and SIGHUP still re-reads the level.
//
// Threading: Start, Stop and SetHandler may be called from any thread; `mutex_` guards
// `handler_` and is never held while the handler runs (it is copied out first). The handler
// runs only on the waiting thread, one signal at a time; an exception escaping it is logged
// and the thread goes on.
#pragma once

#include <signal.h>

#include <functional>
#include <mutex>
#include <thread>

namespace qbx {

class SignalWaiter {
 public:
  using Handler = std::function<void(int signum)>;

  // The process's waiter; never destroyed, so it may outlive main's locals.
  static SignalWaiter& Instance();

  // SIGINT, SIGTERM, SIGHUP and SIGUSR1.
  static sigset_t HandledSignals();
  // Blocks the handled signals in the calling thread; main calls it before any thread exists.
  static void BlockHandledSignals();
  // What the default disposition would do (end the process by `signum`); called on the
  // waiting thread for a signal that has no other meaning yet. Returns only when the signal
  // does not end the process by default.
  static void TerminateWithDefaultAction(int signum);

  SignalWaiter() = default;
  ~SignalWaiter();
  SignalWaiter(const SignalWaiter&) = delete;
  SignalWaiter& operator=(const SignalWaiter&) = delete;

  // Starts the waiting thread with `handler` in force. False (logged) when the descriptors
  // or the thread cannot be made, or when it runs already.
  bool Start(Handler handler);
  // Replaces the handler; the next signal goes to the new one.
  void SetHandler(Handler handler);
  // Ends and joins the waiting thread; signals stay blocked and pending.
  void Stop();

  // The fallback when Start failed: installs the pipe-writing handlers for the handled
  // signals and unblocks them in the calling thread. False (logged) when the pipe cannot be
  // made or the thread runs; true when the handlers are installed already.
  bool StartPipeHandlers();
  // The pipe's read end, -1 before StartPipeHandlers.
  int PipeDescriptor();
  // Runs the handler in force for every signal number waiting in the pipe; returns at once
  // when none waits.
  void DispatchFromPipe();

  // Directs `signum` at the waiting thread alone (tests, which cannot block signals in the
  // test runner's other threads). False when the thread does not run.
  bool SendToWaiterForTest(int signum);

 private:
  void Loop(int signalFd, int wakeFd);
  // Runs the handler in force for `signum`; logs what escapes it.
  void Dispatch(int signum);

  std::mutex mutex_;  // guards every field below
  Handler handler_;
  std::thread thread_;
  int signalFd_ = -1;
  int wakeFd_ = -1;
  bool closeOnExit_ = false;  // set when the loop was stopped from its own handler
  int pipeRead_ = -1;         // the fallback's pipe, once StartPipeHandlers made it
};

}  // namespace qbx
