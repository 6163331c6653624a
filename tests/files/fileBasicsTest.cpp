#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/files/fileBasics.h"

namespace {

TEST(FileBasics, WriteAllFinishesAPipeThatTakesItInParts) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // More than a pipe holds at once, drained by a reader while it is written.
  const std::string block(256 * 1024, 'x');
  std::string got;
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    close(fds[1]);
    char buffer[4096];
    std::size_t total = 0;
    ssize_t count;
    while ((count = read(fds[0], buffer, sizeof buffer)) > 0)
      total += static_cast<std::size_t>(count);
    _exit(total == block.size() ? 0 : 1);
  }
  close(fds[0]);
  EXPECT_TRUE(files::writeAll(fds[1], block));
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FileBasics, WriteAllReportsTheError) {
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  errno = 0;
  EXPECT_FALSE(files::writeAll(fd, "abc"));
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
  errno = 0;
  EXPECT_FALSE(files::writeAll(-1, "abc"));
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(files::writeAll(-1, ""));  // nothing to write is no failure
}

TEST(FileBasics, DescriptorPathNamesTheOpenFile) {
  EXPECT_EQ(files::descriptorPath(7), "/proc/self/fd/7");
  EXPECT_EQ(files::descriptorPath(12, "k.keychain-db"), "/proc/self/fd/12/k.keychain-db");
  int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat viaProc {
  }, root{};
  if (stat(files::descriptorPath(fd, "tmp").c_str(), &viaProc) == 0) {
    ASSERT_EQ(stat("/tmp", &root), 0);
    EXPECT_EQ(viaProc.st_ino, root.st_ino);
  }
  close(fd);
}

TEST(FileBasics, HexInEitherCase) {
  EXPECT_EQ(files::toHex(std::string_view("\x00\x0f\xa5\xff", 4)), "000fa5ff");
  EXPECT_EQ(files::toHex(std::string_view("\x00\x0f\xa5\xff", 4), files::HexCase::upper),
            "000FA5FF");
  EXPECT_EQ(files::toHex(""), "");
  std::string text = "%";
  files::appendHex(text, 0x0a, files::HexCase::upper);
  EXPECT_EQ(text, "%0A");
}

}  // namespace
