// The pinentry search against a second user who exchanges folders while prompts are started:
// with the owner's PATH folder under a folder that user's group may write, a run must never
// start the pinentry he placed, however the exchanges fall.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/pinentry/Pinentry.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using testing_support::ScriptedPinentry;
using testing_support::TempDir;
using testing_support::writeFile;

constexpr int tries = 200;

// Exchanges `a` and `b` as `uid` until `stop` exists (at most a minute); writes how many
// exchanges worked to `report`.
pid_t startExchanging(uid_t uid, gid_t gid, const std::string& a, const std::string& b,
                      const std::string& stop, int report) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
  long exchanged = 0;
  const time_t end = time(nullptr) + 60;
  while (access(stop.c_str(), F_OK) != 0 && time(nullptr) < end) {
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++exchanged;
  }
  ssize_t ignored = write(report, &exchanged, sizeof exchanged);
  (void)ignored;
  _exit(0);
}

TEST(PinentrySearchRace, AnotherUsersPinentryNeverRuns) {
  if (getuid() != 0) GTEST_SKIP() << "acting as a second user needs root";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t other = nobody->pw_uid;
  const gid_t otherGroup = nobody->pw_gid;

  ScriptedPinentry owners;
  owners.script({"always pin owner"});
  TempDir top;
  ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
  // Like a /usr/local its group may write, above the owner's PATH folder.
  const std::string shared = top.file("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0775), 0);
  ASSERT_EQ(chown(shared.c_str(), 0, otherGroup), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0775), 0);
  const std::string ownBin = shared + "/bin";
  ASSERT_EQ(mkdir(ownBin.c_str(), 0755), 0);
  ASSERT_EQ(symlink((owners.binDir() + "/pinentry").c_str(), (ownBin + "/pinentry").c_str()), 0);
  // His: a pinentry that leaves a mark where only he can write, and answers.
  const std::string marks = top.file("marks");
  ASSERT_EQ(mkdir(marks.c_str(), 0755), 0);
  ASSERT_EQ(chown(marks.c_str(), other, otherGroup), 0);
  const std::string hisBin = shared + "/his";
  ASSERT_EQ(mkdir(hisBin.c_str(), 0755), 0);
  writeFile(hisBin + "/pinentry",
            "#!/bin/sh\n: >'" + marks +
                "/ran'\necho OK\nwhile read line; do\n  case \"$line\" in\n"
                "    GETPIN) echo 'D his'; echo OK ;;\n    *) echo OK ;;\n  esac\ndone\n",
            0755);
  ASSERT_EQ(chown((hisBin + "/pinentry").c_str(), other, otherGroup), 0);
  ASSERT_EQ(chown(hisBin.c_str(), other, otherGroup), 0);

  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath != nullptr ? oldPath : "";
  owners.applyToThisProcess();
  // The owner's folder first; his own private copy after it, for when the first is refused.
  setenv("PATH", (ownBin + ":" + owners.binDir() + ":/usr/bin:/bin").c_str(), 1);

  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const std::string stop = top.file("stop");
  pid_t exchanger = startExchanging(other, otherGroup, ownBin, hisBin, stop, report[1]);
  ASSERT_GT(exchanger, 0);
  close(report[1]);

  int owner = 0, his = 0, failed = 0;
  for (int i = 0; i < tries; ++i) {
    pinentry::Request request;
    request.description = "Approve";
    request.timeoutSeconds = 30;
    pinentry::Result result = pinentry::getPin(request);
    if (result.outcome != pinentry::Outcome::pin) {
      ++failed;
    } else if (result.pin == SecureBytes(std::string_view("owner"))) {
      ++owner;
    } else {
      ++his;
    }
  }
  writeFile(stop, "", 0644);
  long exchanged = 0;
  EXPECT_EQ(read(report[0], &exchanged, sizeof exchanged), static_cast<ssize_t>(sizeof exchanged));
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(exchanger, &status, 0), exchanger);
  setenv("PATH", savedPath.c_str(), 1);

  std::printf("%d prompts while %ld exchanges: %d by the owner's pinentry, %d by his, %d failed\n",
              tries, exchanged, owner, his, failed);
  EXPECT_GT(exchanged, 0);  // the race did run
  EXPECT_EQ(his, 0);
  EXPECT_EQ(access((marks + "/ran").c_str(), F_OK), -1);
  EXPECT_EQ(owner, tries);
  // So that the folders can be removed as usual.
  EXPECT_EQ(chown(hisBin.c_str(), 0, 0), 0);
}

}  // namespace
