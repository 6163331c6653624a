#include "tests/keychain/ForeignJournal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tests/support/RunBinary.h"

namespace keychain_test {

uid_t strangerUid() {
  return geteuid() == 65534 ? 65533 : 65534;
}

std::string foreignHotJournal() {
  StickyFolder scratch;
  const std::string path = scratch.path() + "/foreign.db";
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
  // Without syncs SQLite writes the journal's header whole at once, so the copy taken in the
  // middle of the transaction is a hot journal as it stands.
  const char* sql =
      "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF;"
      "CREATE TABLE t(x); INSERT INTO t VALUES(randomblob(3000)), (randomblob(3000)),"
      "(randomblob(3000)); BEGIN; UPDATE t SET x = zeroblob(3000);";
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("building the journal");
  }
  std::string journal = testing_support::readFile(path + "-journal");
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (journal.size() < 4096) throw std::runtime_error("no journal written");
  return journal;
}

StickyFolder::StickyFolder() {
  char name[] = "/tmp/ferrowick-keychain-sticky.XXXXXX";
  if (mkdtemp(name) == nullptr || chmod(name, 01777) != 0) throw std::runtime_error("mkdtemp");
  path_ = name;
}

StickyFolder::~StickyFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool plantAs(uid_t uid, const std::string& folder, const std::string& name,
             const std::string& journal) {
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
    const std::string own = folder + "/own-" + std::to_string(getpid());
    umask(0);
    int fd = open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || write(fd, journal.data(), journal.size()) != static_cast<ssize_t>(journal.size()))
      _exit(3);
    close(fd);
    _exit(link(own.c_str(), (folder + "/" + name).c_str()) == 0 ? 0 : 4);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace keychain_test
