#include "daemon/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/own_directory.h"

namespace qbx {

namespace {

// The pid recorded in the open lock file, or empty.
std::string RecordedPid(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof(text) - 1, 0);
  if (n <= 0) return std::string();
  std::string pid(text, static_cast<size_t>(n));
  const size_t end = pid.find_first_not_of("0123456789");
  return pid.substr(0, end);
}

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::Take(const std::string& path, std::string& why) {
  // Whoever could write the directory could take the lock file away (a second daemon then
  // starts beside this one) or put a link in its place.
  std::string dir = std::filesystem::path(path).parent_path().string();
  if (dir.empty()) dir = ".";
  if (std::string bad = MakeOwnDirectory(dir, kDirectoryMode); !bad.empty()) {
    why = bad;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    why = "cannot open '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  // A file left by somebody else, or one open to others, is not this daemon's lock.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)) {
    why = "'" + path + "' is not a file of this user that only it can write";
    ::close(fd);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      const std::string pid = RecordedPid(fd);
      why = "another instance" + (pid.empty() ? std::string() : " (pid " + pid + ")") + " holds '" + path + "'";
    } else {
      why = "cannot lock '" + path + "': " + std::strerror(error);
    }
    ::close(fd);
    return nullptr;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The pid is only for the message of a refused second instance; the lock holds anyway.
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() { ::close(fd_); }

}  // namespace qbx
