// Each rule over a made-up status, for a user who is root and for one who is not, so no case
// depends on who runs the test.
#include <gtest/gtest.h>

#include <string>

#include "platform/files/fileTrust.h"

namespace {

enum class Owner { user, root, other };

struct Case {
  const char* name;
  mode_t type;
  mode_t permissions;
  Owner owner;
  nlink_t links;
  bool privateFile;
  bool trustedProgram;
  bool privateFolder;
  bool safeFolder;
  bool closedFolder;
};

// clang-format off
const Case cases[] = {
  // name                       type     perms   owner         links priv  prog  pdir  safe  closed
  {"private file",              S_IFREG, 0600,   Owner::user,  1,    true, true, false,false,false},
  {"user file read by others",  S_IFREG, 0644,   Owner::user,  1,    false,true, false,false,false},
  {"group readable file",       S_IFREG, 0640,   Owner::user,  1,    false,true, false,false,false},
  {"others execute only",       S_IFREG, 0701,   Owner::user,  1,    false,true, false,false,false},
  {"second link",               S_IFREG, 0600,   Owner::user,  2,    false,true, false,false,false},
  {"no link left",              S_IFREG, 0600,   Owner::user,  0,    false,true, false,false,false},
  {"group writable file",       S_IFREG, 0620,   Owner::user,  1,    false,false,false,false,false},
  {"world writable file",       S_IFREG, 0602,   Owner::user,  1,    false,false,false,false,false},
  {"root program",              S_IFREG, 0755,   Owner::root,  1,    false,true, false,false,false},
  {"root program, links",       S_IFREG, 0755,   Owner::root,  3,    false,true, false,false,false},
  {"root program group write",  S_IFREG, 0775,   Owner::root,  1,    false,false,false,false,false},
  {"other's private file",      S_IFREG, 0600,   Owner::other, 1,    false,false,false,false,false},
  {"other's program",           S_IFREG, 0755,   Owner::other, 1,    false,false,false,false,false},
  {"fifo",                      S_IFIFO, 0600,   Owner::user,  1,    false,false,false,false,false},
  {"symlink",                   S_IFLNK, 0777,   Owner::user,  1,    false,false,false,false,false},
  {"socket",                    S_IFSOCK,0600,   Owner::user,  1,    false,false,false,false,false},
  {"private folder",            S_IFDIR, 0700,   Owner::user,  2,    false,false,true, true, true },
  {"user folder read by all",   S_IFDIR, 0755,   Owner::user,  5,    false,false,true, true, true },
  {"user folder group write",   S_IFDIR, 0770,   Owner::user,  2,    false,false,false,false,false},
  {"user sticky shared folder", S_IFDIR, 01777,  Owner::user,  2,    false,false,false,true, false},
  {"root folder",               S_IFDIR, 0755,   Owner::root,  9,    false,false,false,true, true },
  {"root group writable",       S_IFDIR, 0775,   Owner::root,  2,    false,false,false,false,false},
  {"root world writable",       S_IFDIR, 0777,   Owner::root,  2,    false,false,false,false,false},
  {"tmp",                       S_IFDIR, 01777,  Owner::root,  9,    false,false,false,true, false},
  {"root sticky group write",   S_IFDIR, 01775,  Owner::root,  2,    false,false,false,true, false},
  {"other's folder",            S_IFDIR, 0755,   Owner::other, 2,    false,false,false,false,false},
  {"other's sticky folder",     S_IFDIR, 01777,  Owner::other, 2,    false,false,false,false,false},
  {"setuid root program",       S_IFREG, 04755,  Owner::root,  1,    false,true, false,false,false},
};
// clang-format on

uid_t uidOf(Owner owner, uid_t user) {
  switch (owner) {
    case Owner::user:
      return user;
    case Owner::root:
      return 0;
    case Owner::other:
      return user + 1;
  }
  return user;
}

struct stat statusOf(const Case& each, uid_t user) {
  struct stat info {};
  info.st_mode = each.type | each.permissions;
  info.st_uid = uidOf(each.owner, user);
  info.st_gid = 100;
  info.st_nlink = each.links;
  return info;
}

// Any ordinary user: the rules take the uid, so none of this needs the test to be him.
class FileTrustTest : public testing::TestWithParam<uid_t> {};

TEST_P(FileTrustTest, EachStatusGetsTheRulesOfItsKind) {
  const uid_t user = GetParam();
  for (const Case& each : cases) {
    SCOPED_TRACE(std::string(each.name) + " for uid " + std::to_string(user));
    const struct stat info = statusOf(each, user);
    EXPECT_EQ(files::isPrivateFile(info, user), each.privateFile);
    EXPECT_EQ(files::isTrustedProgram(info, user), each.trustedProgram);
    EXPECT_EQ(files::isPrivateFolder(info, user), each.privateFolder);
    EXPECT_EQ(files::isSafeFolder(info, user), each.safeFolder);
    EXPECT_EQ(files::isClosedFolder(info, user), each.closedFolder);
  }
}

INSTANTIATE_TEST_SUITE_P(Users, FileTrustTest, testing::Values(uid_t{1000}, uid_t{65533}));

// For root, root's files are his own: the user's rows hold for them too.
TEST(FileTrust, ForRootHisFilesAreHisOwn) {
  for (const Case& each : cases) {
    if (each.owner != Owner::root) continue;
    SCOPED_TRACE(each.name);
    const struct stat info = statusOf(each, 0);
    EXPECT_EQ(files::isPrivateFile(info, 0),
              S_ISREG(info.st_mode) && each.links == 1 && (each.permissions & 077) == 0);
    EXPECT_EQ(files::isPrivateFolder(info, 0), S_ISDIR(info.st_mode) && each.closedFolder);
    EXPECT_EQ(files::isTrustedProgram(info, 0), each.trustedProgram);
    EXPECT_EQ(files::isSafeFolder(info, 0), each.safeFolder);
  }
  struct stat file {};
  file.st_mode = S_IFREG | 0600;
  file.st_nlink = 1;
  EXPECT_TRUE(files::isPrivateFile(file, 0));
}

TEST(FileTrust, OwnershipAndPermissionBitsAlone) {
  struct stat info {};
  info.st_mode = S_IFREG | 0600;
  info.st_uid = 1000;
  EXPECT_TRUE(files::ownedByUserOrRoot(info, 1000));
  EXPECT_FALSE(files::ownedByUserOrRoot(info, 1001));
  info.st_uid = 0;
  EXPECT_TRUE(files::ownedByUserOrRoot(info, 1001));
  EXPECT_FALSE(files::othersMayWrite(info));
  EXPECT_FALSE(files::othersHaveAccess(info));
  info.st_mode = S_IFREG | 0604;
  EXPECT_FALSE(files::othersMayWrite(info));
  EXPECT_TRUE(files::othersHaveAccess(info));
  info.st_mode = S_IFREG | 0620;
  EXPECT_TRUE(files::othersMayWrite(info));
}

}  // namespace
