// Directories only the daemon's user may change: made with their modes whatever the umask,
// and refused (with the reason) where they are links, somebody else's, or writable by others.
#include "base/own_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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


// What a test's hook puts in place of the directory just made, and where.
std::string replacementTarget;
int replacementOwner = -1;  // -1: a link to replacementTarget; otherwise a directory of that uid

// Takes the directory just made away and puts the replacement there before its mode is set.
void ReplaceJustMade(const std::string& dir) {
  if (::rmdir(dir.c_str()) != 0) return;
  if (replacementOwner < 0) {
    static_cast<void>(::symlink(replacementTarget.c_str(), dir.c_str()));
  } else if (::mkdir(dir.c_str(), 0700) == 0) {
    static_cast<void>(::chown(dir.c_str(), static_cast<uid_t>(replacementOwner), static_cast<gid_t>(replacementOwner)));
  }
}

// Installs ReplaceJustMade for its life.
class ReplaceBeforeTheMode {
 public:
  ReplaceBeforeTheMode(const std::string& target, int owner) {
    replacementTarget = target;
    replacementOwner = owner;
    qbx::SetBetweenMakeAndModeForTest(&ReplaceJustMade);
  }
  ~ReplaceBeforeTheMode() { qbx::SetBetweenMakeAndModeForTest(nullptr); }
};

// A link put where a directory was just made never gets the mode meant for that directory:
// a root daemon would otherwise open whatever the link names to everybody.
TEST(OwnDirectory, ADirectoryReplacedBeforeItsModeIsSetIsRefusedAndTheReplacementKeepsItsMode) {
  TempDir dir;
  const std::string base = dir.path().string();
  const std::string target = base + "/somebodys";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  {
    ReplaceBeforeTheMode link(target, -1);
    Umask closed(077);
    const std::string run = base + "/run";
    EXPECT_EQ(qbx::MakeDirectoryWithMode(run, 0755), "'" + run + "' was replaced as it was made (not by a directory)");
    // As a parent on the way, too: nothing is made through the link.
    EXPECT_EQ(qbx::MakeDirectoryWithMode(base + "/var/run", 0755),
              "'" + base + "/var' was replaced as it was made (not by a directory)");
  }
  EXPECT_EQ(Mode(target), 0700u);
  EXPECT_FALSE(std::filesystem::exists(target + "/run"));

  if (::geteuid() == 0) {
    ReplaceBeforeTheMode stranger("", 65534);
    const std::string run = base + "/other";
    EXPECT_EQ(qbx::MakeOwnDirectory(run, 0755),
              "'" + run + "' was replaced as it was made (by a directory of uid 65534)");
    EXPECT_EQ(Mode(run), 0700u);
  }
}

// Whoever can write a parent of the run directory can move the directory away and put their
// own in its place, however closed the directory itself is. Links among the parents are
// followed, and what they lead through is checked as well.
TEST(OwnDirectory, AParentOthersCouldChangeIsRefusedWithTheReason) {
  TempDir dir;
  const std::string base = dir.path().string();
  const std::string open = base + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
  const std::string refused = "'" + open + "' can be written by others (mode 0777)";

  // Nothing is made below it.
  EXPECT_EQ(qbx::MakeOwnDirectory(open + "/zumbra/exporter", 0755), refused);
  EXPECT_FALSE(std::filesystem::exists(open + "/zumbra"));
  // A run directory already there, itself closed to others, is refused too.
  ASSERT_EQ(::mkdir((open + "/run").c_str(), 0755), 0);
  EXPECT_EQ(qbx::CheckOwnDirectory(open + "/run"), refused);
  EXPECT_EQ(qbx::MakeOwnDirectory(open + "/run/", 0755), refused);
  ASSERT_EQ(::chmod(open.c_str(), 0730), 0);
  EXPECT_EQ(qbx::CheckOwnDirectory(open + "/run"), "'" + open + "' can be written by others (mode 0730)");

  // A link among the parents is followed: what it leads through counts, not the link.
  const std::string link = base + "/link";
  ASSERT_EQ(::symlink("open", link.c_str()), 0);
  EXPECT_EQ(qbx::CheckOwnDirectory(link + "/run"), "'" + open + "' can be written by others (mode 0730)");
  ASSERT_EQ(::mkdir((open + "/inner").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("open/../link/inner", (base + "/back").c_str()), 0);
  EXPECT_EQ(qbx::MakeOwnDirectory(base + "/back/run", 0755), "'" + open + "' can be written by others (mode 0730)");
  // And the directory a link is in counts too: whoever can write it can replace the link.
  const std::string closed = base + "/closed";
  ASSERT_EQ(::mkdir(closed.c_str(), 0755), 0);
  ASSERT_EQ(::symlink(closed.c_str(), (open + "/to-closed").c_str()), 0);
  EXPECT_EQ(qbx::MakeOwnDirectory(open + "/to-closed/run", 0755),
            "'" + open + "' can be written by others (mode 0730)");

  // Closed, or open only with the sticky bit (as /tmp is), the parents are sound.
  ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
  EXPECT_EQ(qbx::MakeOwnDirectory(link + "/run", 0755), "");
  EXPECT_EQ(qbx::MakeOwnDirectory(base + "/back/run", 0755), "");
  EXPECT_EQ(qbx::MakeOwnDirectory(open + "/to-closed/run", 0755), "");
  ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
  EXPECT_EQ(qbx::MakeOwnDirectory(open + "/zumbra/exporter", 0755), "");

  if (::geteuid() == 0) {
    // Another user's parent: its owner could open it at any time. In a sticky directory,
    // another user's link is theirs to replace.
    ASSERT_EQ(::chown(open.c_str(), 65534, 65534), 0);
    EXPECT_EQ(qbx::CheckOwnDirectory(open + "/run"),
              "'" + open + "' belongs to uid 65534, not to root or this user (uid 0)");
    ASSERT_EQ(::chown(open.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
    ASSERT_EQ(::lchown((open + "/to-closed").c_str(), 65534, 65534), 0);
    EXPECT_EQ(qbx::CheckOwnDirectory(open + "/to-closed/run"),
              "'" + open + "/to-closed' belongs to uid 65534, not to root or this user (uid 0)");
  }
}

}  // namespace
