// One daemon per node: the lock file is taken by the first, refused to a second (which is
// told who holds it), free again once the first is gone, and never taken through a link.
#include "daemon/instance_lock.h"

#include <gtest/gtest.h>
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

  std::string base_;
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

}  // namespace
}  // namespace qbx
