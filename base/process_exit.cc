#include "base/process_exit.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "base/logger.h"
#include "base/own_directory.h"

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

// Another server (a daemon started since) may have put its own file at the path: only
// ours goes, so each file is kept with its identity.
struct FileId {
  std::string path;
  FileIdentity identity;
};

struct Registry {
  std::mutex mutex;
  // Set under the mutex before the files go: a registration after it sees it.
  std::atomic<bool> ending{false};
  uint64_t lastHandle = 0;
  std::map<uint64_t, FileId> files;
};

Registry& SocketFiles() {
  static auto* registry = new Registry();  // never destroyed: ExitProcess may run at any time
  return *registry;
}

}  // namespace

uint64_t RegisterSocketFile(const std::string& path, const FileIdentity& identity) {
  Registry& registry = SocketFiles();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (registry.ending.load()) return 0;
  registry.files[++registry.lastHandle] = FileId{path, identity};
  return registry.lastHandle;
}

void RemoveRegisteredSocketFile(uint64_t handle) {
  Registry& registry = SocketFiles();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.files.find(handle);
  if (found == registry.files.end()) return;
  RemoveIfStill(found->second.path, found->second.identity);
  registry.files.erase(found);
}

void RemoveSocketFilesForExit() {
  Registry& registry = SocketFiles();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.ending.store(true);
  for (const auto& entry : registry.files) RemoveIfStill(entry.second.path, entry.second.identity);
  registry.files.clear();
}

bool ProcessIsEnding() { return SocketFiles().ending.load(); }

void ForgetProcessEndingForTest() { SocketFiles().ending.store(false); }

void ExitProcess(int status) {
  RemoveSocketFilesForExit();
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
