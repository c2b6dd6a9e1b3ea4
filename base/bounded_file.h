// Reading the files the daemon reads whole (the host configuration, the product issue file,
// the logging key list, the JSON configuration files) without trusting what the path names.
// A path may name a FIFO (an open for reading would wait for a writer for ever), a device
// that never ends (/dev/zero) or a file of hundreds of MB; each is refused with the reason,
// and the file is opened without blocking before its type is known. Links are followed:
// what counts is the file they lead to.
//
// Threading: plain functions without shared state.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace qbx {

// The most any of these files may hold: far more than any of them needs, far below what
// would weigh on the process.
inline constexpr size_t kMaxStartupFileBytes = 4 * 1024 * 1024;

// A file that could not be read or was refused; what() is "<path>: <reason>".
class BoundedFileError : public std::runtime_error {
 public:
  BoundedFileError(const std::string& path, const std::string& reason, bool absent)
      : std::runtime_error(path + ": " + reason), absent_(absent) {}
  // The path names nothing: readers for which the file is optional stay silent then.
  bool absent() const { return absent_; }

 private:
  bool absent_;
};

// The whole content of the regular file at `path` (after following links). Throws
// BoundedFileError for a file that cannot be opened or read, is not a regular file, or holds
// more than `maxBytes`.
std::string ReadBoundedFile(const std::string& path, size_t maxBytes = kMaxStartupFileBytes);

// Gives the memory that a parse freed back to the system. The C library keeps the many small
// blocks of a freed tree in its free lists, resident, for the life of the process.
void ReleaseFreedMemory();

}  // namespace qbx
