#include "base/own_directory.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <vector>

namespace qbx {

namespace {

constexpr mode_t kParentMode = 0755;

std::string ModeText(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Runs between a directory's mkdir and the setting of its mode, in tests alone.
void (*betweenMakeAndModeForTest)(const std::string& dir) = nullptr;

// Makes one directory with exactly `mode`: mkdir can only take bits away (the umask), so
// the directory is never more open than `mode` on the way, and the mode is then put back
// through a descriptor of the directory itself. By path it would follow a link put there
// meanwhile and give its target the mode. Empty when it exists already or was made,
// otherwise why not.
std::string MakeOne(const std::string& dir, mode_t mode) {
  if (::mkdir(dir.c_str(), mode) != 0) {
    if (errno == EEXIST) return std::string();
    return "cannot make '" + dir + "': " + std::strerror(errno);
  }
  if (betweenMakeAndModeForTest != nullptr) betweenMakeAndModeForTest(dir);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) return "'" + dir + "' was replaced as it was made (not by a directory)";
    return "cannot open '" + dir + "': " + std::strerror(errno);
  }
  std::string why;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    why = "cannot look at '" + dir + "': " + std::strerror(errno);
  } else if (st.st_uid != ::geteuid()) {
    why = "'" + dir + "' was replaced as it was made (by a directory of uid " + std::to_string(st.st_uid) + ")";
  } else if (::fchmod(fd, mode) != 0) {
    why = "cannot set the mode of '" + dir + "': " + std::strerror(errno);
  }
  ::close(fd);
  return why;
}

// The ids that may own a directory on the way to the daemon's own: root's and its user's.
bool TrustedOwner(const struct stat& st) { return st.st_uid == 0 || st.st_uid == ::geteuid(); }

// Empty when nobody but root and this user can change where `dir`'s parents lead; otherwise
// why not. The path is followed as the kernel follows it: each directory it passes through
// (the root's entries aside) must be root's or this user's and closed to others unless
// sticky (as /tmp is, whose users cannot touch each other's entries); each link on the way
// must be root's or this user's too (a link's owner may replace it in a sticky directory),
// and its target is followed in turn. A missing part ends the walk: this user makes it.
std::string CheckParents(const std::string& dir) {
  namespace fs = std::filesystem;
  fs::path given = fs::path(dir).lexically_normal();
  if (!given.has_filename() && given != given.root_path()) given = given.parent_path();
  if (given.is_relative()) {
    std::error_code error;
    const fs::path here = fs::current_path(error);
    if (error) return "cannot look at the parents of '" + dir + "': " + error.message();
    given = (here / given).lexically_normal();
  }
  std::deque<std::string> ahead;
  for (const fs::path& part : given.parent_path().relative_path()) ahead.push_back(part.string());
  fs::path real = "/";  // where the parts walked so far lead, no link in it
  int links = 0;
  while (!ahead.empty()) {
    const std::string part = ahead.front();
    ahead.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      real = real.parent_path();
      continue;
    }
    const std::string path = (real / part).string();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return std::string();
      return "cannot look at '" + path + "': " + std::strerror(errno);
    }
    if (!TrustedOwner(st)) {
      return "'" + path + "' belongs to uid " + std::to_string(st.st_uid) + ", not to root or this user (uid " +
             std::to_string(::geteuid()) + ")";
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = ::readlink(path.c_str(), target, sizeof(target));
      if (n < 0 || n == static_cast<ssize_t>(sizeof(target))) return "cannot follow '" + path + "'";
      if (++links > 40) return "cannot follow '" + path + "': " + std::strerror(ELOOP);
      const fs::path to(std::string(target, static_cast<size_t>(n)));
      if (to.is_absolute()) real = "/";
      std::vector<std::string> parts;
      for (const fs::path& p : to.relative_path()) parts.push_back(p.string());
      ahead.insert(ahead.begin(), parts.begin(), parts.end());
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return "'" + path + "' is not a directory";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      return "'" + path + "' can be written by others (mode " + ModeText(st.st_mode) + ")";
    }
    real = path;
  }
  return std::string();
}

}  // namespace

std::string MakeDirectoryWithMode(const std::string& dir, mode_t mode) {
  if (dir.empty()) return "cannot make a directory without a name";
  std::filesystem::path path = std::filesystem::path(dir).lexically_normal();
  if (!path.has_filename() && path != path.root_path()) path = path.parent_path();  // "a/b/" is "a/b"
  std::filesystem::path partial;
  for (auto part = path.begin(); part != path.end(); ++part) {
    partial /= *part;
    if (partial == path.root_path() || part->empty()) continue;
    const bool last = std::next(part) == path.end();
    if (std::string why = MakeOne(partial.string(), last ? mode : kParentMode); !why.empty()) return why;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return "cannot make '" + dir + "': " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "'" + dir + "' is not a directory";
  return std::string();
}

void SetBetweenMakeAndModeForTest(void (*hook)(const std::string& dir)) { betweenMakeAndModeForTest = hook; }

std::string CheckOwnDirectory(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return "cannot look at '" + dir + "': " + std::strerror(errno);
  if (S_ISLNK(st.st_mode)) return "'" + dir + "' is a link, not a directory";
  if (!S_ISDIR(st.st_mode)) return "'" + dir + "' is not a directory";
  if (st.st_uid != ::geteuid()) {
    return "'" + dir + "' belongs to uid " + std::to_string(st.st_uid) + ", not to this user (uid " +
           std::to_string(::geteuid()) + ")";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "'" + dir + "' can be written by others (mode " + ModeText(st.st_mode) + ")";
  }
  return CheckParents(dir);
}

std::string MakeOwnDirectory(const std::string& dir, mode_t mode) {
  // Nothing is made below a parent somebody else could change; and what is made is looked
  // at again, since a part missing here may have been made by somebody else meanwhile.
  if (std::string why = CheckParents(dir); !why.empty()) return why;
  if (std::string why = MakeDirectoryWithMode(dir, mode); !why.empty()) return why;
  return CheckOwnDirectory(dir);
}

SocketListener ProbeSocketListener(const std::string& path, int& error) {
  error = 0;
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) {
    error = ENAMETOOLONG;
    return SocketListener::kUnknown;
  }
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) {
    error = errno;
    return SocketListener::kUnknown;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) error = errno;
  ::close(probe);
  if (error == 0 || error == EAGAIN || error == EINPROGRESS) return SocketListener::kLive;
  if (error == ECONNREFUSED || error == ENOENT) return SocketListener::kStale;
  return SocketListener::kUnknown;
}

std::optional<FileIdentity> IdentityOfPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

void RemoveIfStill(const std::string& path, const FileIdentity& identity) {
  if (IdentityOfPath(path) == std::optional<FileIdentity>(identity)) ::unlink(path.c_str());
}

std::string DescribeWhatIsAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::string("nothing is there (") + std::strerror(errno) + ")";
  const char* kind = S_ISSOCK(st.st_mode)  ? "another socket"
                     : S_ISLNK(st.st_mode) ? "a link"
                     : S_ISDIR(st.st_mode) ? "a directory"
                     : S_ISREG(st.st_mode) ? "a regular file"
                                           : "another file";
  return std::string(kind) + " is there";
}

}  // namespace qbx
