#include "tools/sandbox/sandbox.h"

#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace qbx::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// Reports a failure between fork and exec with async-signal-safe calls only, and exits.
[[noreturn]] void ChildFail(const char* what) {
  int error = errno;
  char digits[16];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + error % 10);
    error /= 10;
  } while (error > 0 && n < 15);
  ssize_t ignored = ::write(STDERR_FILENO, what, std::strlen(what));
  ignored = ::write(STDERR_FILENO, " failed, errno ", 15);
  while (n > 0) ignored = ::write(STDERR_FILENO, &digits[--n], 1);
  ignored = ::write(STDERR_FILENO, "\n", 1);
  (void)ignored;
  ::_exit(126);
}

std::string ErrnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// The namespace holder: builds the namespace, reports on `statusFd`, then waits for the
// test to close `controlFd`. Runs in a forked child of a single-threaded test process.
class Holder {
 public:
  Holder(const Namespace::Options& options, std::string scratch, std::string socketPath, int statusFd)
      : options_(options), scratch_(std::move(scratch)), socketPath_(std::move(socketPath)), statusFd_(statusFd) {}

  void Build() {
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) Fail("unshare", errno, true);
    // Nothing mounted from here on may propagate back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Fail("make / private", errno, true);
    BringUpLoopback();
    for (const std::string& dir : options_.tmpfsDirs) MountTmpfs(dir);
    for (const auto& [path, contents] : options_.files) WriteFile(path, contents);
    if (!socketPath_.empty()) BindDevLog();
  }

  [[noreturn]] void Fail(const std::string& what, int error, bool unsupportedWhenDenied = false) {
    bool denied = error == EPERM || error == EACCES || error == ENOSYS;
    WriteAll(statusFd_, std::string(unsupportedWhenDenied && denied ? "UNSUPPORTED " : "ERROR ") +
                            ErrnoText(what, error));
    ::_exit(1);
  }

 private:
  static bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  static std::string Parent(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "/" : parent;
  }

  std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) Fail("realpath " + path, errno);
    return resolved;
  }

  bool Owned(const std::string& real) const {
    for (const std::string& root : owned_) {
      if (real == root || (real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
                           real[root.size()] == '/')) {
        return true;
      }
    }
    return false;
  }

  // Lays a tmpfs-backed overlay over an existing directory so that it can be written
  // without touching the host.
  void Overlay(const std::string& dir) {
    std::string real = RealPath(dir);
    if (real == "/") Fail("refusing to overlay / for " + dir, EINVAL);
    std::string base = scratch_ + "/overlay" + std::to_string(owned_.size());
    if (::mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) Fail("mkdir " + base, errno);
    if (::mount("tmpfs", base.c_str(), "tmpfs", 0, "mode=0700") != 0) Fail("tmpfs " + base, errno);
    std::string upper = base + "/upper";
    std::string work = base + "/work";
    if (::mkdir(upper.c_str(), 0755) != 0 || ::mkdir(work.c_str(), 0755) != 0) Fail("mkdir overlay dirs", errno);
    std::string data = "lowerdir=" + real + ",upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", real.c_str(), "overlay", 0, data.c_str()) != 0) Fail("overlay " + real, errno);
    owned_.push_back(real);
  }

  // Makes `dir` exist and be writable inside the namespace only.
  void MakeWritableDir(const std::string& dir) {
    std::string existing = dir;
    while (!Exists(existing)) existing = Parent(existing);
    if (!Owned(RealPath(existing))) Overlay(existing);
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) Fail("mkdir " + dir, error.value());
  }

  void MountTmpfs(const std::string& dir) {
    if (!Exists(dir)) {
      MakeWritableDir(Parent(dir));
      if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) Fail("mkdir " + dir, errno);
    }
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) Fail("tmpfs " + dir, errno);
    owned_.push_back(RealPath(dir));
  }

  void WriteFile(const std::string& path, const std::string& contents) {
    MakeWritableDir(Parent(path));
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fail("create " + path, errno);
    WriteAll(fd, contents);
    ::close(fd);
  }

  void BindDevLog() {
    const char* devLog = "/dev/log";
    if (!Exists(devLog)) {
      // Missing, or a link to a socket that does not exist here: put an empty file there.
      MakeWritableDir("/dev");
      ::unlink(devLog);
      int fd = ::open(devLog, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) Fail("create /dev/log", errno);
      ::close(fd);
    }
    if (::mount(socketPath_.c_str(), devLog, nullptr, MS_BIND, nullptr) != 0) Fail("bind /dev/log", errno);
  }

  void BringUpLoopback() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket", errno);
    struct ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0) Fail("get lo flags", errno);
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(fd, SIOCSIFFLAGS, &request) != 0) Fail("bring lo up", errno);
    ::close(fd);
  }

  const Namespace::Options& options_;
  std::string scratch_;
  std::string socketPath_;
  int statusFd_;
  std::vector<std::string> owned_;  // real paths of our tmpfs and overlay mounts
};

}  // namespace

Namespace::CreateResult Namespace::Create(const Options& options) {
  CreateResult result;
  if (::geteuid() != 0) {
    result.unsupported = true;
    result.error = "namespaces need root";
    return result;
  }
  std::unique_ptr<Namespace> ns(new Namespace());
  std::string pattern = (std::filesystem::temp_directory_path() / "qbx-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    result.error = ErrnoText("mkdtemp", errno);
    return result;
  }
  ns->scratch_ = pattern;

  std::string socketPath;
  if (options.captureSyslog) {
    socketPath = ns->scratch_ + "/devlog";
    ns->syslogFd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (ns->syslogFd_ < 0 || socketPath.size() >= sizeof(address.sun_path)) {
      result.error = "cannot make the syslog socket";
      return result;
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    if (::bind(ns->syslogFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      result.error = ErrnoText("bind " + socketPath, errno);
      return result;
    }
    ::chmod(socketPath.c_str(), 0666);
  }

  int status[2];
  int control[2];
  if (::pipe2(status, O_CLOEXEC) != 0) {
    result.error = ErrnoText("pipe", errno);
    return result;
  }
  if (::pipe2(control, O_CLOEXEC) != 0) {
    ::close(status[0]);
    ::close(status[1]);
    result.error = ErrnoText("pipe", errno);
    return result;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    result.error = ErrnoText("fork", errno);
    for (int fd : {status[0], status[1], control[0], control[1]}) ::close(fd);
    return result;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Keep only the two pipe ends, so that the pipes of other namespaces stay closable.
    ::dup2(status[1], 3);
    ::dup2(control[0], 4);
    ::syscall(SYS_close_range, 5u, ~0u, 0u);
    Holder holder(options, ns->scratch_, socketPath, 3);
    holder.Build();
    WriteAll(3, "OK");
    ::close(3);
    char byte;
    for (;;) {
      ssize_t n = ::read(4, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
    }
    ::_exit(0);
  }
  ::close(status[1]);
  ::close(control[0]);
  ns->holder_ = pid;
  ns->controlFd_ = control[1];
  std::string report = ReadAll(status[0]);
  ::close(status[0]);
  if (report != "OK") {
    result.unsupported = report.rfind("UNSUPPORTED ", 0) == 0;
    result.error = report.empty() ? "namespace holder died" : report;
    return result;  // the destructor reaps the holder
  }
  std::string proc = "/proc/" + std::to_string(pid) + "/ns/";
  ns->netNsFd_ = ::open((proc + "net").c_str(), O_RDONLY | O_CLOEXEC);
  ns->mntNsFd_ = ::open((proc + "mnt").c_str(), O_RDONLY | O_CLOEXEC);
  if (ns->netNsFd_ < 0 || ns->mntNsFd_ < 0) {
    result.error = ErrnoText("open " + proc, errno);
    return result;
  }
  result.ns = std::move(ns);
  return result;
}

Namespace::~Namespace() {
  for (pid_t child : children_) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  if (controlFd_ >= 0) ::close(controlFd_);
  if (holder_ > 0) ::waitpid(holder_, nullptr, 0);
  for (int fd : {netNsFd_, mntNsFd_, syslogFd_}) {
    if (fd >= 0) ::close(fd);
  }
  if (!scratch_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }
}

std::string Namespace::OutputPath(pid_t pid) const { return scratch_ + "/output." + std::to_string(pid); }

pid_t Namespace::Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  if (argv.empty()) return -1;
  // Everything the child needs is prepared before fork: it only makes system calls.
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    std::string name = text.substr(0, text.find('='));
    if (env.count(name) == 0) envStrings.push_back(text);
  }
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> argvPointers;
  for (const std::string& arg : argv) argvPointers.push_back(const_cast<char*>(arg.c_str()));
  argvPointers.push_back(nullptr);
  std::vector<char*> envPointers;
  for (const std::string& entry : envStrings) envPointers.push_back(const_cast<char*>(entry.c_str()));
  envPointers.push_back(nullptr);
  std::vector<std::string> nsenterArgs;
  for (const char* candidate : {"/usr/bin/nsenter", "/bin/nsenter"}) {
    if (::access(candidate, X_OK) == 0) {
      nsenterArgs = {candidate, "--mount=/proc/" + std::to_string(holder_) + "/ns/mnt", "--wd=/", "--"};
      nsenterArgs.insert(nsenterArgs.end(), argv.begin(), argv.end());
      break;
    }
  }
  std::vector<char*> nsenterArgv;
  for (const std::string& arg : nsenterArgs) nsenterArgv.push_back(const_cast<char*>(arg.c_str()));
  if (!nsenterArgv.empty()) nsenterArgv.push_back(nullptr);
  std::string tempOutput = scratch_ + "/output.spawning";
  int out = ::open(tempOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return -1;

  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    if (::setns(netNsFd_, CLONE_NEWNET) != 0) ChildFail("setns net");
    if (::setns(mntNsFd_, CLONE_NEWNS) != 0) {
      // A child forked from a process with helper threads (sanitizer runtimes) may keep
      // more than one thread and cannot change its mount namespace: let a fresh nsenter
      // process do it before it executes the program.
      if (errno == EINVAL && !nsenterArgv.empty()) {
        ::execve(nsenterArgv[0], nsenterArgv.data(), envPointers.data());
        ChildFail("execve nsenter");
      }
      ChildFail("setns mnt");
    }
    if (::chdir("/") != 0) ChildFail("chdir /");
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signum = 1; signum < NSIG; ++signum) {
      if (signum != SIGKILL && signum != SIGSTOP) ::signal(signum, SIG_DFL);
    }
    ::execve(argvPointers[0], argvPointers.data(), envPointers.data());
    ChildFail("execve");
  }
  ::close(out);
  if (pid < 0) return -1;
  std::error_code ignored;
  std::filesystem::rename(tempOutput, OutputPath(pid), ignored);
  children_.push_back(pid);
  return pid;
}

bool Namespace::Signal(pid_t pid, int signum) { return ::kill(pid, signum) == 0; }

std::optional<int> Namespace::WaitForExit(pid_t pid, std::chrono::milliseconds failsafe) {
  auto forget = [this, pid]() { children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end()); };
  int status = 0;
  int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidFd >= 0) {
    struct pollfd watch = {pidFd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&watch, 1, static_cast<int>(failsafe.count()));
    } while (ready < 0 && errno == EINTR);
    ::close(pidFd);
    if (ready <= 0) return std::nullopt;
    if (::waitpid(pid, &status, 0) != pid) return std::nullopt;
    forget();
    return status;
  }
  // Kernels without pidfd: poll the child's state.
  auto deadline = Clock::now() + failsafe;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      forget();
      return status;
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<std::string> Namespace::NextSyslog(std::chrono::milliseconds failsafe) {
  if (syslogFd_ < 0) return std::nullopt;
  struct pollfd watch = {syslogFd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&watch, 1, static_cast<int>(failsafe.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return std::nullopt;
  std::string datagram(64 * 1024, '\0');
  ssize_t n = ::recv(syslogFd_, datagram.data(), datagram.size(), 0);
  if (n < 0) return std::nullopt;
  datagram.resize(static_cast<size_t>(n));
  syslog_.push_back(datagram);
  return datagram;
}

std::optional<std::string> Namespace::WaitForSyslog(const std::string& needle, std::chrono::milliseconds failsafe) {
  auto deadline = Clock::now() + failsafe;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> datagram = NextSyslog(left);
    if (!datagram) return std::nullopt;
    if (datagram->find(needle) != std::string::npos) return datagram;
  }
}

}  // namespace qbx::e2e
