// The bounded read of files read whole: only regular files (links followed), never more than
// the bound, and a FIFO refused at once instead of waiting for a writer.
#include "base/bounded_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <string>

#include "base/json_file.h"
#include "base/xml_file.h"
#include "tests/base/log_test_support.h"
#include "tests/base/startup_file_support.h"

namespace qbx {
namespace {

using logtest::TempDir;

// The reason ReadBoundedFile gives for `path`, or "read" when it reads it.
std::string Refusal(const std::string& path, size_t maxBytes = kMaxStartupFileBytes) {
  try {
    ReadBoundedFile(path, maxBytes);
    return "read";
  } catch (const BoundedFileError& e) {
    return e.what();
  }
}

TEST(BoundedFile, RegularFileAndALinkToOneAreReadWhole) {
  TempDir dir;
  const std::string text = std::string("node-type: qbx-edge\n") + std::string(1, '\0') + "after a NUL\n";
  const std::string file = dir.Write("issue", text);
  EXPECT_EQ(ReadBoundedFile(file), text);
  const std::string link = (dir.path() / "link").string();
  std::filesystem::create_symlink(file, link);
  EXPECT_EQ(ReadBoundedFile(link), text);
  EXPECT_EQ(ReadBoundedFile(dir.Write("empty", "")), "");
}

TEST(BoundedFile, MissingFileIsAbsentAndSaysSo) {
  TempDir dir;
  const std::string missing = (dir.path() / "missing").string();
  try {
    ReadBoundedFile(missing);
    ADD_FAILURE() << "read";
  } catch (const BoundedFileError& e) {
    EXPECT_TRUE(e.absent());
    EXPECT_EQ(std::string(e.what()), missing + ": cannot open file: No such file or directory");
  }
}

TEST(BoundedFile, FifoIsRefusedWithoutWaitingForAWriter) {
  TempDir dir;
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string refusal;
  ASSERT_TRUE(startup::ReturnsWithoutAWriter(fifo, [&] { refusal = Refusal(fifo); }));
  EXPECT_EQ(refusal, fifo + ": not a regular file (a FIFO)");
}

TEST(BoundedFile, DevicesAndDirectoriesAreRefusedAlsoThroughLinks) {
  TempDir dir;
  EXPECT_EQ(Refusal("/dev/zero"), "/dev/zero: not a regular file (a character device)");
  const std::string link = (dir.path() / "zero").string();
  std::filesystem::create_symlink("/dev/zero", link);
  EXPECT_EQ(Refusal(link), link + ": not a regular file (a character device)");
  const std::string sub = (dir.path() / "sub").string();
  std::filesystem::create_directory(sub);
  EXPECT_EQ(Refusal(sub), sub + ": not a regular file (a directory)");
}

TEST(BoundedFile, FileAtTheBoundIsReadAndOneByteMoreIsRefused) {
  TempDir dir;
  const std::string at = dir.Write("at", std::string(kMaxStartupFileBytes, 'x'));
  EXPECT_EQ(ReadBoundedFile(at).size(), kMaxStartupFileBytes);
  const std::string over = dir.Write("over", std::string(kMaxStartupFileBytes + 1, 'x'));
  EXPECT_EQ(Refusal(over), over + ": larger than 4194304 bytes");
}

// A file whose size says nothing (the kernel's files say 0) is still read only up to the
// bound: the bound holds on what is read, not only on what the size claims.
TEST(BoundedFile, WhatIsReadIsBoundedWhateverTheSizeSays) {
  struct stat st;
  ASSERT_EQ(::stat("/proc/self/status", &st), 0);
  ASSERT_EQ(st.st_size, 0);
  EXPECT_NE(ReadBoundedFile("/proc/self/status").find("VmRSS"), std::string::npos);
  EXPECT_EQ(Refusal("/proc/self/status", 64), "/proc/self/status: larger than 64 bytes");
}

// Every reader of a whole file reads through the same bound.
TEST(BoundedFile, TreeReadersUseTheSameBound) {
  TempDir dir;
  boost::property_tree::ptree tree;
  const std::string xml = dir.Write("host-cfg.xml", "<config>" + std::string(kMaxStartupFileBytes, ' ') + "</config>");
  EXPECT_THROW(ReadXmlFile(xml, tree, 0), BoundedFileError);
  const std::string json = dir.Write("config.json", "{}" + std::string(kMaxStartupFileBytes, ' '));
  EXPECT_THROW(ReadJsonFile(json, tree), BoundedFileError);
  EXPECT_THROW(ReadJsonFile("/dev/zero", tree), BoundedFileError);
}

}  // namespace
}  // namespace qbx
