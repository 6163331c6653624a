// ferrowick-keychain: the keychain owner's commands (list, passwd, delete, check, backup,
// restore). On success status 0; on failure one English line on standard error and status 1.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/keyQuery.h"
#include "Ferrowick/runEnding.h"
#include "keychain-tool/itemListing.h"
#include "platform/keychain/keychainCare.h"
#include "platform/keychain/keychainPaths.h"

namespace {

using namespace keychain::care;
using keychain_tool::escaped;

constexpr const char* usageLine =
    "Usage: ferrowick-keychain [--keychain PATH] list [--json] | passwd | delete NAME | "
    "check [--password] | backup DEST | restore SRC [--replace]";

constexpr const char* helpText =
    "Usage: ferrowick-keychain [--keychain PATH] COMMAND\n"
    "\n"
    "Looks after a Ferrowick keychain, by default the login keychain\n"
    "($XDG_DATA_HOME/ferrowick/keychains/login.keychain-db).\n"
    "\n"
    "  list [--json]       the items (creation time, service, account), the device keys first;\n"
    "                      no password asked\n"
    "  passwd              change the keychain password (current one, then the new one twice)\n"
    "  delete NAME         remove the device key NAME (service org.quennet.peldora.v1),\n"
    "                      after the keychain password\n"
    "  check [--password]  check the file, its folder and journal, and the database; with\n"
    "                      --password also authenticate every item\n"
    "  backup DEST         write a consistent copy to the new file DEST (never over a file)\n"
    "  restore SRC [--replace]\n"
    "                      put the checked copy SRC in place; an existing keychain is replaced\n"
    "                      only with --replace, and kept beside it as *.replaced-TIME\n"
    "\n"
    "Names are shown escaped: a backslash as \\\\, control characters and bytes that are not\n"
    "UTF-8 as \\xNN. Exit status 0 on success, 1 with one message line otherwise.\n";

using ferrowick::die;

// Status 0 promises the whole output; a listing or report that did not all arrive is a failure.
// Where the change came before (passwd, delete, backup, restore), it stands: the line says only
// that its confirmation was lost.
void say(const std::string& text) {
  if (!NSFileHandle::fileHandleWithStandardOutput().writeData(text)) die("Cannot write result");
}

// The message for a status from a keychain operation on `path`.
std::string failure(OSStatus status, const std::string& path) {
  switch (status) {
    case errSecNoSuchKeychain:
      return "No keychain at " + escaped(path);
    case errSecInvalidKeychain:
      return "Keychain refused (damaged, foreign or wrong permissions): " + escaped(path);
    case errSecWrongSecVersion:
      return "Keychain made by a newer version: " + escaped(path);
    case errSecNotAvailable:
      return "Keychain folder unusable: " + escaped(keychain::folderOf(path));
    case errSecUserCanceled:
      return "Cancelled";
    case errSecAuthFailed:
      return "Wrong keychain password, or the keychain changed meanwhile";
    case errSecInteractionNotAllowed:
      return "Cannot ask for the password (no pinentry on PATH, or no display or terminal)";
    case errSecWrPerm:
      return "No permission to write " + escaped(path);
    default:
      return "Keychain operation failed: " + std::to_string(status);
  }
}

// The message for a status from writing the backup file `destination`.
std::string backupFailure(OSStatus status, const std::string& destination) {
  switch (status) {
    case errSecWrPerm:
      return "Backup not written: no permission to write the backup file " + escaped(destination);
    case errSecNotAvailable:
    case errSecNoSuchKeychain:
      return "Backup not written: the backup file's folder is unusable: " +
             escaped(keychain::folderOf(destination));
    default:
      return "Backup not written: writing the backup file " + escaped(destination) +
             " failed: " + std::to_string(status);
  }
}

void printReport(const CheckReport& report) {
  std::string text;
  for (const Finding& finding : report.findings) {
    text += finding.subject + ": " + finding.text + (finding.ok ? "" : "  [problem]") + "\n";
  }
  say(text);
}

struct Target {
  std::string path;
  keychain::FolderRule rule = keychain::FolderRule::login;
  bool login = true;
};

int runCommand(const Target& target, const std::vector<std::string>& words) {
  const std::string& command = words.empty() ? std::string() : words[0];
  const std::size_t count = words.size();
  const std::string& path = target.path;
  if (command == "list" && (count == 1 || (count == 2 && words[1] == "--json"))) {
    std::vector<ItemSummary> items;
    OSStatus status =
        listItems(path, target.rule, std::string(ferrowick::serviceIdentifier), items);
    if (status != errSecSuccess) die(failure(status, path));
    say(count == 2 ? keychain_tool::listingJson(items) : keychain_tool::listingText(items));
    return 0;
  }
  if (command == "passwd" && count == 1) {
    OSStatus status = changePassword(path, target.rule);
    if (status != errSecSuccess) die(failure(status, path));
    say("Keychain password changed\n");
    return 0;
  }
  if (command == "delete" && count == 2) {
    OSStatus status =
        deleteItem(path, target.rule, std::string(ferrowick::serviceIdentifier), words[1]);
    if (status == errSecItemNotFound) die("No device key named " + escaped(words[1]));
    if (status != errSecSuccess) die(failure(status, path));
    say("Deleted " + escaped(words[1]) + "\n");
    return 0;
  }
  if (command == "check" && (count == 1 || (count == 2 && words[1] == "--password"))) {
    CheckReport report;
    OSStatus status = checkKeychain(path, target.rule, count == 2, report);
    printReport(report);
    if (status != errSecSuccess && status != errSecNoSuchKeychain) die(failure(status, path));
    if (status == errSecNoSuchKeychain || !report.allWell()) die("Keychain check found problems");
    say("all well\n");
    return 0;
  }
  if (command == "backup" && count == 2) {
    const std::string destination = keychain::absolutePath(words[1]);
    CheckReport report;
    bool atDestination = false;
    OSStatus status = backupKeychain(path, target.rule, destination, report, atDestination);
    if (status == errSecDuplicateKeychain)
      die("Backup not written: a file exists at " + escaped(destination));
    if (status != errSecSuccess && !report.allWell())
      die("Keychain check found problems; no backup written");
    if (status != errSecSuccess && atDestination) die(backupFailure(status, destination));
    if (status != errSecSuccess) die(failure(status, path));
    say("Backup written to " + escaped(destination) + "\n");
    return 0;
  }
  if (command == "restore" && (count == 2 || (count == 3 && words[2] == "--replace"))) {
    const std::string source = keychain::absolutePath(words[1]);
    // The folder a keychain goes into must be as safe as the one it would be opened from, and
    // is held from here on.
    keychain::Descriptor folder;
    OSStatus prepared = target.login
                            ? keychain::holdLoginFolder(path, true, folder)
                            : keychain::holdFolder(keychain::folderOf(path), target.rule, folder);
    if (prepared != errSecSuccess)
      die(failure(prepared == errSecNoSuchKeychain ? errSecNotAvailable : prepared, path));
    CheckReport report;
    RestoreRefusal refusal = RestoreRefusal::none;
    std::string keptAs;
    OSStatus status =
        restoreKeychain(source, folder.get(), path, count == 3, report, refusal, keptAs);
    switch (refusal) {
      case RestoreRefusal::sourceBad: {
        // One line: the first problem found says why (`check` on the copy gives the rest).
        std::string why;
        for (const Finding& finding : report.findings) {
          if (!finding.ok) {
            why = " (" + finding.subject + ": " + finding.text + ")";
            break;
          }
        }
        die("Not restored: " + escaped(source) + " is not a sound keychain" + why);
      }
      case RestoreRefusal::sourceJournal:
        die("Not restored: a journal lies beside " + escaped(source) +
            " (the copy was taken in the middle of a write)");
      case RestoreRefusal::journal:
        die("Not restored: a journal lies beside the keychain (an interrupted write); run "
            "'ferrowick-keychain check' and let Ferrowick finish it first");
      case RestoreRefusal::inUse:
        die("Not restored: a Ferrowick run is using the keychain; try again when it ends");
      case RestoreRefusal::exists:
        die("Not restored: a keychain exists at " + escaped(path) + " (use --replace)");
      case RestoreRefusal::none:
        break;
    }
    if (status != errSecSuccess) die(failure(status, path));
    say("Restored " + escaped(path) +
        (keptAs.empty() ? "" : "; the old keychain is kept as " + escaped(keptAs)) + "\n");
    return 0;
  }
  die(usageLine);
}

int run(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() == 1 && words[0] == "--help") {
    say(helpText);
    return 0;
  }
  Target target;
  if (words.size() >= 2 && words[0] == "--keychain") {
    if (words[1].empty()) die(usageLine);
    target.path = keychain::absolutePath(words[1]);
    target.rule = keychain::FolderRule::shared;
    target.login = false;
    words.erase(words.begin(), words.begin() + 2);
  } else if (keychain::loginKeychainPath(target.path) != errSecSuccess) {
    die("Cannot find the home folder for the login keychain");
  }
  return runCommand(target, words);
}

}  // namespace

int main(int argc, char** argv) {
  const bool hardened = hardenProcess();
  ferrowick::endUncaughtExceptionsWithALine();
  // A standard descriptor left closed and not held would go to the next file opened: a
  // backup or the keychain would then receive what is printed.
  if (!hardened) die("Internal error");
  // As in Ferrowick: once, before anything draws a random byte, so a failing source is a line,
  // never an abort inside libsodium.
  if (!prepareRandomSource([] { die("Random generation failed"); })) {
    die("Random generation failed");
  }
  try {
    return run(argc, argv);
  } catch (...) {
    // Caught here so the stack unwinds and an open transaction is rolled back first.
    ferrowick::dieOfException(std::current_exception());
  }
}
