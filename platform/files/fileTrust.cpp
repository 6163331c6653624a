#include "platform/files/fileTrust.h"

namespace files {

bool ownedByUserOrRoot(const struct stat& info, uid_t uid) {
  return info.st_uid == uid || info.st_uid == 0;
}

bool othersMayWrite(const struct stat& info) {
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool othersHaveAccess(const struct stat& info) {
  return (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
}

bool isPrivateFile(const struct stat& info, uid_t uid) {
  return S_ISREG(info.st_mode) && info.st_uid == uid && info.st_nlink == 1 &&
         !othersHaveAccess(info);
}

bool isTrustedProgram(const struct stat& info, uid_t uid) {
  return S_ISREG(info.st_mode) && ownedByUserOrRoot(info, uid) && !othersMayWrite(info);
}

bool isPrivateFolder(const struct stat& info, uid_t uid) {
  return S_ISDIR(info.st_mode) && info.st_uid == uid && !othersMayWrite(info);
}

bool isSafeFolder(const struct stat& info, uid_t uid) {
  return S_ISDIR(info.st_mode) && ownedByUserOrRoot(info, uid) &&
         (!othersMayWrite(info) || (info.st_mode & S_ISVTX) != 0);
}

bool isClosedFolder(const struct stat& info, uid_t uid) {
  return S_ISDIR(info.st_mode) && ownedByUserOrRoot(info, uid) && !othersMayWrite(info);
}

}  // namespace files
