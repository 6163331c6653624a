// Checking a keychain without changing it: the file is read once through a descriptor and its
// bytes are examined in memory, so neither SQLite nor a journal beside it can write to it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/files/fileTrust.h"
#include "platform/keychain/accessObject.h"
#include "platform/keychain/keychainCare.h"
#include "platform/keychain/keychainCareImage.h"
#include "platform/keychain/keychainSchema.h"
#include "platform/keychain/keychainStatement.h"
#include "platform/keychain/keychainUnlock.h"

namespace keychain::care {

namespace {

constexpr std::size_t maxImageBytes = 256u << 20;

void note(CheckReport& report, std::string subject, std::string text, bool ok) {
  report.findings.push_back({std::move(subject), std::move(text), ok});
}

// Empty for a file the keychain accepts; otherwise the first reason it doesn't, in words.
std::string fileProblem(const struct stat& info) {
  if (files::isPrivateFile(info, geteuid())) return "";
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (info.st_uid != geteuid()) return "owned by another user";
  if (info.st_nlink != 1) return "has more than one link";
  if ((info.st_mode & 077) != 0) return "readable or writable by others (mode must be 0600)";
  return "";
}

}  // namespace

OSStatus readImage(const std::string& path, bool strict, std::string& image, std::string& problem) {
  Descriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    problem = errno == ENOENT ? "missing" : "cannot be examined";
    return errno == ENOENT ? errSecNoSuchKeychain : errSecIO;
  }
  return readImageIn(folder.get(), nameOf(path), strict, image, problem);
}

OSStatus readImageIn(int folderFd, const std::string& name, bool strict, std::string& image,
                     std::string& problem) {
  struct stat named;
  if (fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    problem = errno == ENOENT ? "missing" : "cannot be examined";
    return errno == ENOENT ? errSecNoSuchKeychain : errSecIO;
  }
  if (S_ISLNK(named.st_mode)) {
    problem = "a symbolic link";
    return errSecInvalidKeychain;
  }
  problem = strict ? fileProblem(named) : (S_ISREG(named.st_mode) ? "" : "not a regular file");
  if (!problem.empty()) return errSecInvalidKeychain;
  Descriptor fd(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    problem = "cannot be opened";
    return errSecIO;
  }
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0 || opened.st_ino != named.st_ino ||
      opened.st_dev != named.st_dev || !S_ISREG(opened.st_mode)) {
    problem = "changed while being checked";
    return errSecInvalidKeychain;
  }
  if (static_cast<std::uint64_t>(opened.st_size) > maxImageBytes) {
    problem = "too large for a keychain";
    return errSecInvalidKeychain;
  }
  image.resize(static_cast<std::size_t>(opened.st_size));
  std::size_t got = 0;
  while (got < image.size()) {
    ssize_t n = pread(fd.get(), image.data() + got, image.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != image.size()) {
    problem = "could not be read";
    return errSecIO;
  }
  return errSecSuccess;
}

OSStatus openImage(const std::string& image, Database& database) {
  sqlite3* db = nullptr;
  int result =
      sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE, nullptr);
  Database opening(db);
  if (result != SQLITE_OK) return statusOf(result);
  int off = 0;
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, off, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, off, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, off, nullptr);
  auto* bytes = static_cast<unsigned char*>(sqlite3_malloc64(image.size()));
  if (bytes == nullptr) return errSecAllocate;
  std::copy(image.begin(), image.end(), bytes);
  result = sqlite3_deserialize(db, "main", bytes, static_cast<sqlite3_int64>(image.size()),
                               static_cast<sqlite3_int64>(image.size()),
                               SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY);
  if (result != SQLITE_OK) return statusOf(result);
  database = std::move(opening);
  return errSecSuccess;
}

void checkImage(const std::string& image, const std::string& path, bool password,
                CheckReport& report) {
  OSStatus status = checkHeader(image, image.size(), false);
  if (status != errSecSuccess) {
    note(report, "format",
         status == errSecWrongSecVersion ? "made by a newer version"
                                         : "not a keychain, or truncated",
         false);
    return;
  }
  note(report, "format", "keychain, version 1", true);
  Database database;
  status = openImage(image, database);
  sqlite3* db = database.get();
  if (status == errSecSuccess) status = checkSchema(db);
  std::int64_t pages = 0, pageSize = 0;
  if (status == errSecSuccess) status = pragmaInteger(db, "PRAGMA page_count", pages);
  if (status == errSecSuccess) status = pragmaInteger(db, "PRAGMA page_size", pageSize);
  if (status == errSecSuccess && pages * pageSize != static_cast<std::int64_t>(image.size())) {
    status = errSecInvalidKeychain;
  }
  note(report, "schema", status == errSecSuccess ? "ok" : "not the keychain's tables",
       status == errSecSuccess);
  if (status != errSecSuccess) return;

  std::string integrity;
  {
    Statement check(db, "PRAGMA integrity_check");
    int result = check.step();
    integrity = result == SQLITE_ROW ? check.blob(0) : "could not run";
    if (result == SQLITE_ROW && check.step() == SQLITE_ROW) integrity = "several problems";
  }
  note(report, "integrity", integrity == "ok" ? "ok" : "damaged (" + integrity + ")",
       integrity == "ok");
  if (integrity != "ok") return;

  KeychainRecord record;
  status = readKeychainRecord(db, record);
  note(report, "keychain record", status == errSecSuccess ? "ok" : "malformed",
       status == errSecSuccess);
  if (status != errSecSuccess) return;

  Statement select(db, "SELECT uuid, class, service, account, access, nonce, secret FROM item");
  std::vector<ItemRecord> items;
  std::size_t malformed = 0;
  for (int result = select.step(); result == SQLITE_ROW; result = select.step()) {
    ItemRecord item{select.blob(0), select.blob(1), select.blob(2), select.blob(3),
                    select.blob(4), select.blob(5), select.blob(6)};
    if (!wellFormed(item) || !parseAccess(item.access)) ++malformed;
    items.push_back(std::move(item));
  }
  note(report, "items",
       std::to_string(items.size()) +
           (malformed == 0 ? " well formed" : ", " + std::to_string(malformed) + " malformed"),
       malformed == 0);
  if (!password || malformed != 0) return;

  SecureBytes key;
  status = unlockWithPrompts(
      {path, "", "要检查钥匙串“" + displayText(path) + "”中的每个项目。\n\n请输入钥匙串密码。"},
      PasswordPurpose::read, record, key);
  if (status != errSecSuccess) {
    note(report, "password", status == errSecAuthFailed ? "refused" : "not given", false);
    return;
  }
  note(report, "password", "ok", true);
  std::size_t failed = 0;
  for (const ItemRecord& item : items) {
    SecureBytes plaintext;
    const std::string ad = itemAssociatedData(record.uuid, item.uuid, item.itemClass, item.service,
                                              item.account, item.access);
    if (!open(key, item.secret, item.nonce, ad, plaintext)) ++failed;
  }
  note(report, "authentication",
       failed == 0 ? "every item authenticates"
                   : std::to_string(failed) + " of " + std::to_string(items.size()) + " items fail",
       failed == 0);
}

OSStatus checkKeychain(const std::string& path, FolderRule rule, bool password,
                       CheckReport& report) {
  OSStatus status = checkFolder(folderOf(path), rule);
  note(report, "folder",
       status == errSecSuccess          ? "ok"
       : status == errSecNoSuchKeychain ? "missing"
                                        : "not private to this user",
       status == errSecSuccess);
  if (status == errSecNoSuchKeychain) return status;

  struct stat journal;
  const std::string journalPath = path + "-journal";
  if (lstat(journalPath.c_str(), &journal) != 0) {
    note(report, "journal", "none", true);
  } else if (!S_ISREG(journal.st_mode) || !fileProblem(journal).empty()) {
    note(report, "journal", "not a private regular file of this user: " + fileProblem(journal),
         false);
  } else if (journal.st_size == 0) {
    note(report, "journal", "empty", true);
  } else {
    note(report, "journal", "present: an interrupted or running write that is not in the file",
         false);
  }

  std::string image, problem;
  status = readImage(path, true, image, problem);
  note(report, "file", problem.empty() ? "ok" : problem, problem.empty());
  if (status == errSecNoSuchKeychain) return status;
  if (problem.empty()) checkImage(image, path, password, report);
  return errSecSuccess;
}

}  // namespace keychain::care
