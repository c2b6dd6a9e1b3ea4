#include "base/process_exit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "base/logger.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QBX_LEAK_CHECK_AT_EXIT 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QBX_LEAK_CHECK_AT_EXIT 1
#endif

#ifdef QBX_LEAK_CHECK_AT_EXIT
#include <sanitizer/lsan_interface.h>
#endif

namespace qbx {

namespace {

struct FileId {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

struct Registry {
  std::mutex mutex;
  uint64_t lastHandle = 0;
  std::map<uint64_t, FileId> files;
};

Registry& SocketFiles() {
  static auto* registry = new Registry();  // never destroyed: ExitProcess may run at any time
  return *registry;
}

// Another server (a daemon started since) may have put its own file at the path: only
// ours goes.
void RemoveIfStillTheSame(const FileId& id) {
  struct stat current{};
  if (::lstat(id.path.c_str(), &current) == 0 && current.st_dev == id.device && current.st_ino == id.inode) {
    ::unlink(id.path.c_str());
  }
}

}  // namespace

uint64_t RegisterSocketFile(const std::string& path) {
  struct stat current{};
  if (::lstat(path.c_str(), &current) != 0) return 0;
  Registry& registry = SocketFiles();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.files[++registry.lastHandle] = FileId{path, current.st_dev, current.st_ino};
  return registry.lastHandle;
}

void RemoveRegisteredSocketFile(uint64_t handle) {
  Registry& registry = SocketFiles();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.files.find(handle);
  if (found == registry.files.end()) return;
  RemoveIfStillTheSame(found->second);
  registry.files.erase(found);
}

void RemoveRegisteredSocketFiles() {
  Registry& registry = SocketFiles();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const auto& entry : registry.files) RemoveIfStillTheSame(entry.second);
  registry.files.clear();
}

void ExitProcess(int status) {
  RemoveRegisteredSocketFiles();
  Logger::FlushAtExit();
  std::fflush(nullptr);
#ifdef QBX_LEAK_CHECK_AT_EXIT
  // The objects of threads still running are reachable from their stacks; what is left is
  // lost. The report goes to stderr.
  if (__lsan_do_recoverable_leak_check() != 0) status = kLeakExitStatus;
#endif
  std::_Exit(status);
}

}  // namespace qbx
