// Several processes on one keychain file: racing adds have one winner and no I/O errors, and an
// add or a creation killed mid-way leaves only whole items and whole files behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/keychain/KeychainTesting.h"
#include "platform/keychain/keychainCreation.h"
#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainSchema.h"
#include "platform/keychain/keychainUnlock.h"
#include "tests/keychain/PlacementControl.h"
#include "tests/keychain/RealKeychainFixture.h"
#include "tests/support/RunBinary.h"

namespace keychain_test {
namespace {

SecureBytes secretFor(const std::string& name) {
  return SecureBytes(std::string_view("secret of " + name + std::string(32, '.')));
}

// Forks `count` children that wait for one start signal, run `work` and report its status.
std::vector<OSStatus> raceChildren(int count, const std::function<OSStatus(int)>& work) {
  int start[2], results[2];
  if (pipe(start) != 0 || pipe(results) != 0) throw std::runtime_error("pipe failed");
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      char ignored;
      if (read(start[0], &ignored, 1) < 0) _exit(1);  // EOF once the parent lets everyone go
      OSStatus status = work(i);
      if (write(results[1], &status, sizeof status) != sizeof status) _exit(1);
      _exit(0);  // no test teardown in the child
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  close(results[1]);
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  std::vector<OSStatus> statuses;
  OSStatus status;
  while (read(results[0], &status, sizeof status) == sizeof status) statuses.push_back(status);
  close(results[0]);
  return statuses;
}

TEST(KeychainConcurrencyTest, RacingAddsOfOneItemHaveExactlyOneWinner) {
  KeychainHome home;
  SecKeychainRef keychain = createKeychainAt(home.scratch("race.keychain-db"));
  SecAccessRef access = openAccess();
  // The children inherit the unlocked keychain.
  std::vector<OSStatus> statuses = raceChildren(
      32, [&](int i) { return addItem("shared", secretFor(std::to_string(i)), access, keychain); });
  ASSERT_EQ(statuses.size(), 32u);
  int winners = 0, duplicates = 0;
  for (OSStatus status : statuses) {
    winners += status == errSecSuccess;
    duplicates += status == errSecDuplicateItem;
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(duplicates, 31);

  SecureBytes data;
  ASSERT_EQ(readData("shared", data, keychain), errSecSuccess);
  bool known = false;
  for (int i = 0; i < 32; ++i) known = known || data == secretFor(std::to_string(i));
  EXPECT_TRUE(known);
}

TEST(KeychainConcurrencyTest, RacingFirstRunsShareOneLoginKeychain) {
  KeychainHome home;
  constexpr int runs = 6;
  home.answer(std::vector<std::string>(2 * runs, std::string("pin ") + password));
  SecAccessRef access = openAccess();
  std::vector<OSStatus> statuses = raceChildren(runs, [&](int i) {
    return addItem("device-" + std::to_string(i), secretFor(std::to_string(i)), access);
  });
  ASSERT_EQ(statuses.size(), static_cast<std::size_t>(runs));
  for (OSStatus status : statuses) EXPECT_EQ(status, errSecSuccess);
  // Each run asked once: a run that lost the creation race unlocked the winner's keychain with
  // the password it had just been given.
  EXPECT_EQ(home.promptsShown(), runs);
  // One file holding every item, whichever run created it.
  EXPECT_EQ(queryInteger(home.loginKeychain(), "SELECT count(*) FROM item"), runs);
  EXPECT_EQ(folderSnapshot(home.root() + "/home/data/ferrowick/keychains").size(), 1u);
}

TEST(KeychainConcurrencyTest, AddsKilledMidwayLeaveOnlyWholeItems) {
  KeychainHome home;
  const std::string path = home.scratch("killed.keychain-db");
  SecKeychainRef keychain = createKeychainAt(path);
  SecAccessRef access = openAccess();
  for (int round = 0; round < 3; ++round) {
    // The child says when its first add is in, so the kill lands in a later one however
    // slow the machine is.
    int firstAdded[2];
    ASSERT_EQ(pipe(firstAdded), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(firstAdded[0]);
      for (int i = 0;; ++i) {
        std::string name = std::to_string(round) + "-" + std::to_string(i);
        if (addItem(name, secretFor(name), access, keychain) != errSecSuccess) _exit(1);
        if (i == 0 && write(firstAdded[1], "+", 1) != 1) _exit(1);
      }
    }
    close(firstAdded[1]);
    pollfd added{firstAdded[0], POLLIN, 0};
    EXPECT_EQ(poll(&added, 1, 60000), 1) << "no add finished in round " << round;
    close(firstAdded[0]);
    usleep(static_cast<useconds_t>(40000 + round * 35000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the adding child stopped by itself";
  }
  // Each round's items are numbered from 0 with no gap; every one reads back whole.
  long long found = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0;; ++i) {
      std::string name = std::to_string(round) + "-" + std::to_string(i);
      SecureBytes data;
      OSStatus status = readData(name, data, keychain);
      if (status == errSecItemNotFound) break;
      ASSERT_EQ(status, errSecSuccess) << name;
      EXPECT_TRUE(data == secretFor(name)) << name;
      ++found;
    }
  }
  EXPECT_GT(found, 0);
  EXPECT_EQ(queryInteger(path, "SELECT count(*) FROM item"), found);
}

// Creations of one prepared keychain killed mid-way, and what they must leave: only whole
// keychains under their final names, each with one link, no temporary and no journal.
class KilledCreationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    // The KDF is nearly all of SecKeychainCreate's time; made once here, so every kill lands
    // somewhere in the making of a file.
    SecureBytes key;
    ASSERT_EQ(keychain::makeNewKeychain(SecureBytes(std::string_view(password)), contents, key),
              errSecSuccess);
  }
  void TearDown() override { refuseUnnamedFiles(false); }

  void expectOnlyWholeKeychains() const {
    const auto entries = folderSnapshot(folder);
    EXPECT_FALSE(entries.empty());
    for (const auto& [name, bytes] : entries) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(name.ends_with(".keychain-db"));
      struct stat info;
      ASSERT_EQ(lstat((folder + "/" + name).c_str(), &info), 0);
      EXPECT_EQ(info.st_nlink, 1u);
      keychain::Database database;
      ASSERT_EQ(
          keychain::openKeychain(folder + "/" + name, keychain::FolderRule::private_, database),
          errSecSuccess);
      keychain::KeychainRecord record;
      EXPECT_EQ(keychain::readKeychainRecord(database.get(), record), errSecSuccess);
      EXPECT_TRUE(record.uuid == contents.uuid);
    }
  }

  KeychainHome home;
  const std::string folder = home.root() + "/kills";
  keychain::KeychainRecord contents;
};

TEST_F(KilledCreationTest, KilledAtAnyMomentItLeavesNoTemporaryFileBehind) {
  // The seed is printed, so a failing schedule of kills can be run again.
  const unsigned seed = std::random_device{}();
  std::printf("kill schedule seed %u\n", seed);
  SCOPED_TRACE("kill schedule seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<useconds_t> delay(0, 12000);
  for (int round = 0; round < 30; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0;; ++i) {
        std::string path =
            folder + "/" + std::to_string(round) + "-" + std::to_string(i) + ".keychain-db";
        if (keychain::createKeychainFile(path, contents) != errSecSuccess) _exit(1);
      }
    }
    // The first child is let finish one file, so there is always a whole one to check too.
    struct stat first;
    for (int waited = 0;
         round == 0 && waited < 10000 && lstat((folder + "/0-0.keychain-db").c_str(), &first) != 0;
         ++waited) {
      usleep(1000);
    }
    usleep(delay(random));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the creating child stopped by itself";
  }
  expectOnlyWholeKeychains();
}

// Where the folder refuses unnamed files, the creation goes through a named temporary; the next
// run needs no help whichever step the killed one reached.
TEST_F(KilledCreationTest, KilledAtEachNamedStepTheNextRunNeedsNoHelp) {
  refuseUnnamedFiles(true);
  const struct {
    int step;
    const char* label;
  } steps[] = {
      {1, "an empty temporary"}, {2, "a whole temporary"}, {3, "the keychain linked twice"}};
  for (const auto& [step, label] : steps) {
    SCOPED_TRACE(label);
    const std::string path = folder + "/" + std::to_string(step) + ".keychain-db";
    pid_t pid = fork();
    if (pid == 0) {
      killAtPlacementStep(step);
      keychain::createKeychainFile(path, contents);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the creation was not killed";
    ASSERT_GT(folderSnapshot(folder).size(), 0u);

    // The next run: it opens the keychain the killed one linked, or makes it anew.
    keychain::Database database;
    OSStatus opened = keychain::openKeychain(path, keychain::FolderRule::private_, database);
    if (step < 3) {
      EXPECT_EQ(opened, errSecNoSuchKeychain);
      EXPECT_EQ(keychain::createKeychainFile(path, contents), errSecSuccess);
      opened = keychain::openKeychain(path, keychain::FolderRule::private_, database);
    }
    ASSERT_EQ(opened, errSecSuccess);
    database = keychain::Database();
    ASSERT_EQ(folderSnapshot(folder).size(), 1u);
    expectOnlyWholeKeychains();
    unlink(path.c_str());
  }
}

TEST(KeychainConcurrencyTest, TemporaryLeftBesideASoundKeychainGoesWithTheNextWrite) {
  KeychainHome home;
  const std::string path = home.scratch("sound.keychain-db");
  SecKeychainRef keychain = createKeychainAt(path);
  ASSERT_EQ(addItem("first", secretFor("first"), openAccess(), keychain), errSecSuccess);
  // A killed creation's temporary nobody holds, and one a running creation still holds.
  const std::string stale = path + ".0123456789abcdef.tmp";
  const std::string held = path + ".fedcba9876543210.tmp";
  for (const std::string& name : {stale, held}) {
    testing_support::writeFile(name, "a keychain image");
    ASSERT_EQ(chmod(name.c_str(), 0600), 0);
  }
  keychain::Descriptor holder(open(held.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);

  EXPECT_EQ(lookup("first", keychain), errSecSuccess);
  ASSERT_EQ(addItem("second", secretFor("second"), openAccess(), keychain), errSecSuccess);
  struct stat info;
  EXPECT_NE(lstat(stale.c_str(), &info), 0) << "the killed creation's temporary is still there";
  EXPECT_EQ(lstat(held.c_str(), &info), 0) << "a running creation's temporary was removed";
  EXPECT_EQ(lookup("second", keychain), errSecSuccess);
}

}  // namespace
}  // namespace keychain_test
