// A result file appears whole or not at all, its writes are checked, and
// links and devices are treated as their users expect.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include "io/output_file.h"
#include "io/output_file_set.h"
#include "support/run_program.h"

namespace {

long entriesIn(const std::string& dir) {
  const std::filesystem::directory_iterator entries(dir);
  return std::distance(begin(entries), end(entries));
}

TEST(OutputFile, OldContentStaysUntilCommitAndAbandonLeavesNoTrace) {
  const std::string dir = makeTempDir();
  const std::string path = dir + "/report.txt";
  writeFile(path, "old\n");
  {
    OutputFile file;
    ASSERT_TRUE(file.open(path));
    ASSERT_TRUE(file.printf("new %d\n", 1));
    EXPECT_EQ(readFile(path), "old\n");
    file.abandon();
  }
  EXPECT_EQ(readFile(path), "old\n");
  EXPECT_EQ(entriesIn(dir), 1);

  OutputFile file;
  ASSERT_TRUE(file.open(path));
  ASSERT_TRUE(file.write(std::string("new\n")));
  ASSERT_TRUE(file.commit());
  EXPECT_EQ(readFile(path), "new\n");
  EXPECT_EQ(entriesIn(dir), 1);
}

TEST(OutputFile, ReplacesTheTargetOfALinkAndKeepsItsPermissions) {
  const std::string dir = makeTempDir();
  const std::string real = dir + "/real.txt";
  writeFile(real, "old\n");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(::symlink(real.c_str(), (dir + "/link.txt").c_str()), 0);
  OutputFile file;
  ASSERT_TRUE(file.open(dir + "/link.txt"));
  ASSERT_TRUE(file.write(std::string("new\n")));
  ASSERT_TRUE(file.commit());
  struct stat link_info;
  ASSERT_EQ(::lstat((dir + "/link.txt").c_str(), &link_info), 0);
  EXPECT_TRUE(S_ISLNK(link_info.st_mode));
  EXPECT_EQ(readFile(real), "new\n");
  struct stat info;
  ASSERT_EQ(::stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(OutputFile, AFullDeviceFailsWithTheReasonAndStaysADevice) {
  if (!fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  OutputFile file;
  ASSERT_TRUE(file.open("/dev/full"));
  const std::string line(100000, 'x');
  file.write(line);
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(file.error(), "gorva: /dev/full: cannot write: No space left on device");
  struct stat info;
  ASSERT_EQ(::stat("/dev/full", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST(OutputFile, AMissingDirectoryEmptyOrOverlongNameIsRefusedAtOpen) {
  OutputFile file;
  EXPECT_FALSE(file.open(makeTempDir() + "/no/such/dir/report.txt"));
  EXPECT_NE(file.error().find("cannot write: No such file or directory"), std::string::npos);
  // Not a temporary in the working folder that only the rename would refuse.
  EXPECT_FALSE(file.open(""));
  EXPECT_NE(file.error().find("(an empty file name): cannot write"), std::string::npos);
  // A name the folder cannot take fails at open, not at the rename after
  // the run (a chart's name then failed only once the report was in place).
  const std::string dir = makeTempDir();
  EXPECT_FALSE(file.open(dir + "/" + std::string(300, 'r')));
  EXPECT_NE(file.error().find("cannot write: File name too long"), std::string::npos) << file.error();
  EXPECT_EQ(entriesIn(dir), 0);
}

// What follows a set's publication under its lock (the run log) is
// published before another run on the folder can publish its own set.
TEST(OutputFileSet, WhatFollowsThePublicationStillHoldsTheFolder) {
  const std::string dir = makeTempDir();
  OutputFileSet set;
  OutputFile& report = set.add();
  ASSERT_TRUE(report.open(dir + "/report.txt"));
  ASSERT_TRUE(report.write(std::string("new\n")));
  ASSERT_TRUE(report.finish());
  bool called = false;
  ASSERT_TRUE(set.publishAll([&] {
    called = true;
    EXPECT_EQ(readFile(dir + "/report.txt"), "new\n");
    const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    EXPECT_NE(::flock(folder, LOCK_EX | LOCK_NB), 0);
    ::close(folder);
  })) << set.error();
  EXPECT_TRUE(called);
}

// One folder named two ways (a relative and an absolute path, or through
// "..") is one lock: the set waited the full wait on its own lock, then
// published into the folder unlocked.
TEST(OutputFileSet, OneFolderNamedTwoWaysIsLockedOnceWithoutWaiting) {
  const std::string dir = makeTempDir();
  ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0755), 0);
  OutputFileSet set;
  for (const std::string& path : {dir + "/report.txt", dir + "/sub/../table.tsv"}) {
    OutputFile& file = set.add();
    ASSERT_TRUE(file.open(path));
    ASSERT_TRUE(file.write(std::string("new\n")));
    ASSERT_TRUE(file.finish());
  }
  const auto began = std::chrono::steady_clock::now();
  bool locked = false;
  ASSERT_TRUE(set.publishAll([&] {
    const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    locked = ::flock(folder, LOCK_EX | LOCK_NB) != 0;
    ::close(folder);
  })) << set.error();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  EXPECT_TRUE(locked);
  EXPECT_EQ(readFile(dir + "/table.tsv"), "new\n");
}

// A folder that takes no new file on a nearly full disk: both files are
// copied into place, and the one that does not fit leaves the set as it was.
TEST(OutputFileSet, ContentCopiedIntoPlaceThatDoesNotFitPublishesNothing) {
  const std::string dir = makeTempDir();
  if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,nr_inodes=3") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here: " << std::strerror(errno);
  writeFile(dir + "/report.txt", "old report\n");
  writeFile(dir + "/table.tsv", "old table\n");
  bool written = false;
  bool published = false;
  std::string error;
  {
    OutputFileSet set;  // closed before the folder is unmounted
    OutputFile& report = set.add();
    OutputFile& table = set.add();
    written = report.open(dir + "/report.txt") && table.open(dir + "/table.tsv") &&
              report.write(std::string("new report\n")) && table.write(std::string(200 << 10, 't')) &&
              report.finish() && table.finish();
    published = written && set.publishAll();
    error = set.error();
  }
  const std::string report_text = readFile(dir + "/report.txt");
  const std::string table_text = readFile(dir + "/table.tsv");
  ASSERT_EQ(::umount(dir.c_str()), 0);
  ASSERT_TRUE(written);
  EXPECT_FALSE(published);
  EXPECT_NE(error.find("table.tsv: cannot write: No space left on device"), std::string::npos) << error;
  EXPECT_EQ(report_text, "old report\n");
  EXPECT_EQ(table_text, "old table\n");
}

// A file bound over the table's name (a container's volume): no rename can
// replace it, so it is written into, the set still published together.
TEST(OutputFileSet, AFileMountedOverTheNameIsWrittenInto) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/outside.tsv", "old table\n");
  writeFile(dir + "/table.tsv", "");
  if (::mount((dir + "/outside.tsv").c_str(), (dir + "/table.tsv").c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "no file can be bound here: " << std::strerror(errno);
  bool published = false;
  std::string error;
  {
    OutputFileSet set;
    OutputFile& report = set.add();
    OutputFile& table = set.add();
    published = report.open(dir + "/report.txt") && table.open(dir + "/table.tsv") &&
                report.write(std::string("new report\n")) && table.write(std::string("new table\n")) &&
                report.finish() && table.finish() && set.publishAll();
    error = set.error();
  }
  const std::string table_text = readFile(dir + "/table.tsv");
  ASSERT_EQ(::umount((dir + "/table.tsv").c_str()), 0);
  EXPECT_TRUE(published) << error;
  EXPECT_EQ(table_text, "new table\n");
  EXPECT_EQ(readFile(dir + "/outside.tsv"), "new table\n");
  EXPECT_EQ(readFile(dir + "/report.txt"), "new report\n");
}

// A rename that fails after others succeeded (here a file mounted over the
// table's name during the run) puts the names already published back.
TEST(OutputFileSet, ARenameThatFailsPutsBackTheNamesAlreadyPublished) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/report.txt", "old report\n");
  writeFile(dir + "/table.tsv", "old table\n");
  writeFile(dir + "/outside.tsv", "outside\n");
  bool mounted = false;
  bool published = true;
  {
    OutputFileSet set;
    OutputFile& report = set.add();
    OutputFile& table = set.add();
    ASSERT_TRUE(report.open(dir + "/report.txt") && table.open(dir + "/table.tsv"));
    ASSERT_TRUE(report.write(std::string("new report\n")) && table.write(std::string("new table\n")));
    ASSERT_TRUE(report.finish() && table.finish());
    mounted = ::mount((dir + "/outside.tsv").c_str(), (dir + "/table.tsv").c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (mounted) published = set.publishAll();
  }
  if (!mounted) GTEST_SKIP() << "no file can be bound here: " << std::strerror(errno);
  ASSERT_EQ(::umount((dir + "/table.tsv").c_str()), 0);
  EXPECT_FALSE(published);
  EXPECT_EQ(readFile(dir + "/report.txt"), "old report\n");
  EXPECT_EQ(readFile(dir + "/table.tsv"), "old table\n");
  EXPECT_EQ(entriesIn(dir), 3);  // no temporary or kept link is left
}

}  // namespace
