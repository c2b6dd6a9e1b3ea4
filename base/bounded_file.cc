#include "base/bounded_file.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qbx {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISSOCK(mode)) return "a socket";
  return "of an unknown kind";
}

std::string TooLarge(size_t maxBytes) { return "larger than " + std::to_string(maxBytes) + " bytes"; }

}  // namespace

std::string ReadBoundedFile(const std::string& path, size_t maxBytes) {
  // Without O_NONBLOCK the open of a FIFO waits for a writer; with it, it returns at once and
  // the type is checked on what was opened, so a swap between a check and the open is moot.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    const int error = errno;
    throw BoundedFileError(path, std::string("cannot open file: ") + std::strerror(error), error == ENOENT);
  }
  struct stat st;
  if (::fstat(file.get(), &st) != 0) {
    throw BoundedFileError(path, std::string("cannot read file: ") + std::strerror(errno), false);
  }
  if (!S_ISREG(st.st_mode)) {
    throw BoundedFileError(path, std::string("not a regular file (") + KindOf(st.st_mode) + ")", false);
  }
  // Read until the end whatever the size said (the file may be growing, or be one whose size
  // tells nothing), but never more than one byte past the bound: that byte refuses the file.
  std::string text(std::min(static_cast<size_t>(std::max<off_t>(st.st_size, 0)), maxBytes) + 1, '\0');
  size_t total = 0;
  for (;;) {
    if (total == text.size()) {
      if (total > maxBytes) throw BoundedFileError(path, TooLarge(maxBytes), false);
      text.resize(std::min(std::max<size_t>(2 * total, 4096), maxBytes + 1));
    }
    const ssize_t n = ::read(file.get(), text.data() + total, text.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw BoundedFileError(path, std::string("cannot read file: ") + std::strerror(errno), false);
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  text.resize(total);
  return text;
}

void ReleaseFreedMemory() { ::malloc_trim(0); }

}  // namespace qbx
