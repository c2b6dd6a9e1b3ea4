// Directories only the daemon's user may change: made with their modes whatever the umask,
// and refused (with the reason) where they are links, somebody else's, or writable by others.
#include "base/own_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/base/log_test_support.h"

namespace {

using qbx::logtest::TempDir;

mode_t Mode(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Sets the process's umask for its life.
class Umask {
 public:
  explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
  ~Umask() { ::umask(saved_); }

 private:
  const mode_t saved_;
};

TEST(OwnDirectory, ModesAreExactWhateverTheUmask) {
  TempDir dir;
  const std::string base = dir.path().string();
  {
    Umask open(0);
    EXPECT_EQ(qbx::MakeOwnDirectory(base + "/a/b/run", 0755), "");
    EXPECT_EQ(qbx::MakeOwnDirectory(base + "/a/b/run/rpc/", 0700), "");
  }
  EXPECT_EQ(Mode(base + "/a"), 0755u);
  EXPECT_EQ(Mode(base + "/a/b"), 0755u);
  EXPECT_EQ(Mode(base + "/a/b/run"), 0755u);
  EXPECT_EQ(Mode(base + "/a/b/run/rpc"), 0700u);
  {
    Umask closed(077);
    EXPECT_EQ(qbx::MakeOwnDirectory(base + "/c/run", 0755), "");
  }
  EXPECT_EQ(Mode(base + "/c"), 0755u);
  EXPECT_EQ(Mode(base + "/c/run"), 0755u);

  // An existing directory keeps its mode: it is checked, not changed.
  ASSERT_EQ(::chmod((base + "/c/run").c_str(), 0700), 0);
  EXPECT_EQ(qbx::MakeOwnDirectory(base + "/c/run", 0755), "");
  EXPECT_EQ(Mode(base + "/c/run"), 0700u);
}

TEST(OwnDirectory, ADirectoryOthersCouldChangeIsRefusedWithTheReason) {
  TempDir dir;
  const std::string base = dir.path().string();
  const std::string shared = base + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(qbx::CheckOwnDirectory(shared), "'" + shared + "' can be written by others (mode 1777)");
  ASSERT_EQ(::chmod(shared.c_str(), 0720), 0);
  EXPECT_EQ(qbx::CheckOwnDirectory(shared), "'" + shared + "' can be written by others (mode 0720)");
  ASSERT_EQ(::chmod(shared.c_str(), 0755), 0);
  EXPECT_EQ(qbx::CheckOwnDirectory(shared), "");

  const std::string link = base + "/link";
  ASSERT_EQ(::symlink(shared.c_str(), link.c_str()), 0);
  EXPECT_EQ(qbx::MakeOwnDirectory(link, 0755), "'" + link + "' is a link, not a directory");
  const std::string file = dir.Write("file", "data");
  EXPECT_EQ(qbx::MakeOwnDirectory(file, 0755), "'" + file + "' is not a directory");
  EXPECT_NE(qbx::MakeOwnDirectory(file + "/below", 0755), "");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
    EXPECT_EQ(qbx::CheckOwnDirectory(shared), "'" + shared + "' belongs to uid 65534, not to this user (uid 0)");
  }
}

}  // namespace
