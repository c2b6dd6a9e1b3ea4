// One daemon per node: the lock file is taken by the first, refused to a second (which is
// told who holds it), free again once the first is gone, and never taken through a link.
// The lock's directory and file are the daemon's own: made with their modes whatever the
// umask, and refused where somebody else could change them.
#include "daemon/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qbx {
namespace {

class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/qbx-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    base_ = base;
  }
  void TearDown() override { std::filesystem::remove_all(base_); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  std::string base_;
};

// Restores the process's umask when it goes.
class UmaskForTest {
 public:
  explicit UmaskForTest(mode_t mask) : saved_(::umask(mask)) {}
  ~UmaskForTest() { ::umask(saved_); }

 private:
  const mode_t saved_;
};

TEST_F(InstanceLockTest, OnlyOneHolderAtATimeAndTheSecondIsToldWhoHoldsIt) {
  const std::string path = base_ + "/run/instance.lock";
  std::string why;
  std::unique_ptr<InstanceLock> first = InstanceLock::Take(path, why);
  ASSERT_NE(first, nullptr) << why;
  EXPECT_EQ(Contents(path), std::to_string(::getpid()) + "\n");

  EXPECT_EQ(InstanceLock::Take(path, why), nullptr);
  EXPECT_EQ(why, "another instance (pid " + std::to_string(::getpid()) + ") holds '" + path + "'");

  // The holder's end frees the lock; the file stays.
  first.reset();
  EXPECT_NE(InstanceLock::Take(path, why), nullptr) << why;
}

TEST_F(InstanceLockTest, ALinkAtThePathIsRefused) {
  const std::string target = base_ + "/elsewhere";
  std::ofstream(target) << "somebody's data";
  const std::string path = base_ + "/instance.lock";
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  std::string why;
  EXPECT_EQ(InstanceLock::Take(path, why), nullptr);
  EXPECT_EQ(why.rfind("cannot open '" + path + "'", 0), 0u) << why;
  EXPECT_EQ(Contents(target), "somebody's data");
}

TEST_F(InstanceLockTest, UnderUmaskZeroTheDirectoryAndTheFileAreClosedToOthers) {
  const std::string path = base_ + "/run/exporter/instance.lock";
  std::unique_ptr<InstanceLock> lock;
  std::string why;
  {
    UmaskForTest open(0);
    lock = InstanceLock::Take(path, why);
  }
  ASSERT_NE(lock, nullptr) << why;
  EXPECT_EQ(Mode(base_ + "/run"), 0755u);
  EXPECT_EQ(Mode(base_ + "/run/exporter"), 0755u);
  EXPECT_EQ(Mode(path), 0600u);

  // A tighter umask does not make them less usable either: the modes are the same.
  lock.reset();
  const std::string tight = base_ + "/tight/instance.lock";
  {
    UmaskForTest closed(077);
    lock = InstanceLock::Take(tight, why);
  }
  ASSERT_NE(lock, nullptr) << why;
  EXPECT_EQ(Mode(base_ + "/tight"), 0755u);
}

TEST_F(InstanceLockTest, ADirectoryThatOthersCouldChangeIsRefusedWithTheReason) {
  std::string why;
  const std::string open = base_ + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  EXPECT_EQ(InstanceLock::Take(open + "/instance.lock", why), nullptr);
  EXPECT_EQ(why, "'" + open + "' can be written by others (mode 0777)");
  ASSERT_EQ(::chmod(open.c_str(), 0775), 0);
  EXPECT_EQ(InstanceLock::Take(open + "/instance.lock", why), nullptr);
  EXPECT_EQ(why, "'" + open + "' can be written by others (mode 0775)");
  EXPECT_FALSE(std::filesystem::exists(open + "/instance.lock"));

  // The lock's directory a link to one that would pass.
  const std::string real = base_ + "/real";
  ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
  const std::string link = base_ + "/link";
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  EXPECT_EQ(InstanceLock::Take(link + "/instance.lock", why), nullptr);
  EXPECT_EQ(why, "'" + link + "' is a link, not a directory");
  EXPECT_FALSE(std::filesystem::exists(real + "/instance.lock"));

  if (::geteuid() == 0) {
    const std::string foreign = base_ + "/foreign";
    ASSERT_EQ(::mkdir(foreign.c_str(), 0755), 0);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(InstanceLock::Take(foreign + "/instance.lock", why), nullptr);
    EXPECT_EQ(why, "'" + foreign + "' belongs to uid 65534, not to this user (uid 0)");
  }
}

TEST_F(InstanceLockTest, ALockFileOpenToOthersIsClosedAndAForeignOneRefused) {
  const std::string path = base_ + "/instance.lock";
  std::ofstream(path) << "123\n";
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  std::string why;
  std::unique_ptr<InstanceLock> lock = InstanceLock::Take(path, why);
  ASSERT_NE(lock, nullptr) << why;
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_EQ(Contents(path), std::to_string(::getpid()) + "\n");
  lock.reset();

  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(InstanceLock::Take(path, why), nullptr);
    EXPECT_EQ(why, "'" + path + "' is not a file of this user that only it can write");
  }
}

}  // namespace
}  // namespace qbx
