// For tests of the readers of files read whole: a read of a FIFO that would wait for a writer
// for ever must fail its test, not hang it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace qbx::startup {

// Runs `read` (which opens `fifo` for reading) on a thread of its own and tells whether it
// returned while no writer had the FIFO open. When it does not return within the failsafe (an
// open waiting for a writer), the FIFO is opened for writing and closed again, which releases
// that open at the end of an empty stream, and the answer is false.
template <typename Fn>
bool ReturnsWithoutAWriter(const std::string& fifo, Fn read) {
  std::future<void> done = std::async(std::launch::async, read);
  if (done.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
    done.get();
    return true;
  }
  while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    std::this_thread::yield();
  }
  done.get();
  return false;
}

}  // namespace qbx::startup
