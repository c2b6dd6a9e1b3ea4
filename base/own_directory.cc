#include "base/own_directory.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace qbx {

namespace {

constexpr mode_t kParentMode = 0755;

std::string ModeText(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Makes one directory with exactly `mode`: mkdir can only take bits away (the umask), so
// the directory is never more open than `mode` on the way, and chmod puts back what the
// umask took. False, with errno, when it cannot be made; true when it exists already.
bool MakeOne(const std::string& dir, mode_t mode) {
  if (::mkdir(dir.c_str(), mode) != 0) return errno == EEXIST;
  return ::chmod(dir.c_str(), mode) == 0;
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
    if (!MakeOne(partial.string(), last ? mode : kParentMode)) {
      return "cannot make '" + partial.string() + "': " + std::strerror(errno);
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return "cannot make '" + dir + "': " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "'" + dir + "' is not a directory";
  return std::string();
}

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
  return std::string();
}

std::string MakeOwnDirectory(const std::string& dir, mode_t mode) {
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

}  // namespace qbx
