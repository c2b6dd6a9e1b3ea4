// Helpers of the short spins a worker makes before it sleeps: the pause between two looks,
// and whether spinning can help at all.
#pragma once

#include <sched.h>

#include <chrono>
#include <cstdint>

namespace qbx {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// On a single CPU a spinning thread only keeps the producer it waits for off the CPU.
inline bool MayRunOnSeveralCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
  return CPU_COUNT(&set) > 1;
}

// Watches `ready` for at most `budget`; true as soon as it holds.
template <class Ready>
bool SpinUntil(const Ready& ready, std::chrono::nanoseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (uint32_t i = 1;; ++i) {
    if (ready()) return true;
    CpuRelax();
    // Reading the clock costs about as much as a few dozen pauses.
    if ((i & 31u) == 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace qbx
