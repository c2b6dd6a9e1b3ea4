// One daemon per node: the process holds an exclusive lock on a file in its run directory
// for as long as it lives. A second daemon started beside it cannot take the lock and must
// not go on, or it would replace the first one's live sockets with its own (and remove them
// when it stops), leaving the first running but unreachable.
//
// The lock is the kernel's (flock on an open file), so it goes with the process however the
// process ends; the file stays and only records the holder's pid for the message of the
// next one that is refused.
//
// Threading: Take may be called from any thread; an InstanceLock is not shared.
#pragma once

#include <memory>
#include <string>

namespace qbx {

class InstanceLock {
 public:
  static constexpr const char* kPath = "/var/run/zumbra/exporter/instance.lock";
  // The mode the lock's directory (the daemon's run directory) is made with.
  static constexpr unsigned kDirectoryMode = 0755;

  // Takes the lock on `path` and writes this process's pid into it. The file (mode 0600) and
  // its directory (kDirectoryMode, parents 0755) are made when missing, whatever the umask.
  // Null when it cannot be taken, with the reason in `why`: another process holds it (its
  // pid named when the file gives one); the directory is a link, not this user's, or others
  // can write it, or a parent on the way could be changed by somebody else (see
  // CheckOwnDirectory); the file is a link or not this user's; or it cannot be opened.
  static std::unique_ptr<InstanceLock> Take(const std::string& path, std::string& why);

  // Releases the lock (the file stays).
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  const int fd_;
};

}  // namespace qbx
