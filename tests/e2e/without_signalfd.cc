// qbx-e2e-without-signalfd: runs a program where signalfd cannot be made, as on a system
// that lacks it or refuses it to the daemon. Usage:
//   qbx-e2e-without-signalfd PROGRAM [ARG...]
// A seccomp filter, inherited across exec, answers signalfd and signalfd4 with ENOSYS and
// lets every other call through. Exits 126 when the filter cannot be installed or the
// program cannot be run.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this machine"
#endif

#ifdef __NR_signalfd
constexpr unsigned kSignalfd = __NR_signalfd;
#else
constexpr unsigned kSignalfd = __NR_signalfd4;  // only the newer call exists here
#endif

bool RefuseSignalfd() {
  sock_filter program[] = {
      // Another architecture's calls (none are expected) pass untouched.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_signalfd4, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kSignalfd, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof(program) / sizeof(program[0])), program};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qbx-e2e-without-signalfd PROGRAM [ARG...]\n");
    return 126;
  }
  if (!RefuseSignalfd()) {
    std::fprintf(stderr, "cannot install the seccomp filter: %s\n", std::strerror(errno));
    return 126;
  }
  ::execv(argv[1], argv + 1);
  std::fprintf(stderr, "cannot run %s: %s\n", argv[1], std::strerror(errno));
  return 126;
}
