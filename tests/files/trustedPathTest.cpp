// The walk to a trusted file, on real folders made for each case. Every case is built from
// files of the user running the test, so it holds for any user.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/files/trustedPath.h"
#include "tests/support/RunBinary.h"

namespace {

using testing_support::TempDir;
using testing_support::writeFile;

struct Case {
  const char* label;
  // Builds the case under `top` (private, ours); returns the path to open.
  std::function<std::string(const std::string& top)> build;
  bool opened;
};

std::string makeFolder(const std::string& path, mode_t mode) {
  mkdir(path.c_str(), 0700);
  chmod(path.c_str(), mode);
  return path;
}

std::string program(const std::string& folder, mode_t mode = 0755) {
  writeFile(folder + "/program", "#!/bin/sh\n", 0700);
  chmod((folder + "/program").c_str(), mode);
  return folder + "/program";
}

TEST(TrustedPath, EachStepOnTheWayIsChecked) {
  const Case cases[] = {
      {"a program in a folder of ours", [](const std::string& top) { return program(top); }, true},
      {"a relative path", [](const std::string&) { return std::string("bin/sh"); }, false},
      {"a folder, not a file", [](const std::string& top) { return top; }, false},
      {"a missing file", [](const std::string& top) { return top + "/none"; }, false},
      {"a program others may change", [](const std::string& top) { return program(top, 0775); },
       false},
      {"a folder above that its group may write",
       [](const std::string& top) {
         makeFolder(top + "/shared", 0775);
         return program(makeFolder(top + "/shared/bin", 0755));
       },
       false},
      {"a folder above that anyone may write, not sticky",
       [](const std::string& top) {
         makeFolder(top + "/shared", 0777);
         return program(makeFolder(top + "/shared/bin", 0755));
       },
       false},
      {"a sticky folder above, like /tmp, then a folder of ours",
       [](const std::string& top) {
         makeFolder(top + "/sticky", 01777);
         return program(makeFolder(top + "/sticky/bin", 0755));
       },
       true},
      {"the program right in a sticky folder",
       [](const std::string& top) { return program(makeFolder(top + "/sticky", 01777)); }, false},
      {"our link to a trusted program",
       [](const std::string& top) {
         program(makeFolder(top + "/real", 0755));
         EXPECT_EQ(symlink("real/program", (top + "/link").c_str()), 0);
         return top + "/link";
       },
       true},
      {"our link in a sticky folder",
       [](const std::string& top) {
         program(top);
         makeFolder(top + "/sticky", 01777);
         EXPECT_EQ(symlink((top + "/program").c_str(), (top + "/sticky/link").c_str()), 0);
         return top + "/sticky/link";
       },
       false},
      {"a link to a program under a folder others may write",
       [](const std::string& top) {
         makeFolder(top + "/shared", 0777);
         program(makeFolder(top + "/shared/bin", 0755));
         EXPECT_EQ(symlink((top + "/shared/bin/program").c_str(), (top + "/link").c_str()), 0);
         return top + "/link";
       },
       false},
      {"links in a loop",
       [](const std::string& top) {
         EXPECT_EQ(symlink("b", (top + "/a").c_str()), 0);
         EXPECT_EQ(symlink("a", (top + "/b").c_str()), 0);
         return top + "/a";
       },
       false},
      {"a way back up with ..",
       [](const std::string& top) {
         program(top);
         makeFolder(top + "/sub", 0755);
         return top + "/sub/../program";
       },
       true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = c.build(dir.path());
    int fd = files::openTrustedFile(path, geteuid());
    EXPECT_EQ(fd >= 0, c.opened) << c.label;
    if (fd >= 0) {
      struct stat opened {
      }, named{};
      ASSERT_EQ(fstat(fd, &opened), 0);
      ASSERT_EQ(stat(path.c_str(), &named), 0);
      EXPECT_EQ(opened.st_ino, named.st_ino) << c.label;  // the file the path names
      close(fd);
    }
  }
}

TEST(TrustedPath, TheHolderAndTheNameInItAreHandedBack) {
  TempDir dir;
  program(makeFolder(dir.file("real"), 0755));
  ASSERT_EQ(symlink("real/program", dir.file("link").c_str()), 0);
  int holder = -1;
  std::string name;
  int fd = files::openTrustedFile(dir.file("link"), geteuid(), &holder, &name);
  ASSERT_GE(fd, 0);
  ASSERT_GE(holder, 0);
  EXPECT_EQ(name, "program");
  struct stat folder {
  }, real{};
  ASSERT_EQ(fstat(holder, &folder), 0);
  ASSERT_EQ(stat(dir.file("real").c_str(), &real), 0);
  EXPECT_EQ(folder.st_ino, real.st_ino);
  close(fd);
  close(holder);
}

}  // namespace
