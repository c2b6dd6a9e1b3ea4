// The way into an event loop from any thread.
//
// Post queues a function to run later on the loop's thread(s). With one loop thread,
// functions run in the order in which they were posted. Post never runs the function inline,
// even when called on the loop's own thread, so a caller may hold its own lock while posting.
//
// After the owning provider has been asked to stop, Post refuses new work: it returns false
// (and logs) and drops the function without running it. Work accepted before the stop still
// runs while the loop drains (see AsioQbxProvider::StopAndWait).
//
// An exception thrown by a posted function is caught and logged by the loop; it never ends
// the loop thread.
#pragma once

#include <functional>

namespace qbx {

class Dispatcher {
 public:
  using Task = std::function<void()>;

  virtual ~Dispatcher() = default;
  // True when the task was queued; false when the loop refuses work (stopping or stopped)
  // or the task is empty.
  virtual bool Post(Task task) = 0;
  // True when called on one of the loop's threads.
  virtual bool IsLoopThread() const = 0;
};

}  // namespace qbx
