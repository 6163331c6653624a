// Which pinentry an ordinary user's `approve` will run. As root the tool trusts only root's
// files, so where the tests run as root this runs the real binary as a throw-away unprivileged
// user: a pinentry that user or root placed is run, one another user could have placed or
// changed never is.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/ThrowAwayUser.h"

namespace {

using testing_support::RunResult;
using testing_support::ScriptedPinentry;
using testing_support::ThrowAwayUser;

constexpr const char* password = "ordinary user 口令";
constexpr const char* unavailable = "Local user authentication unavailable\n";

struct Placement {
  const char* name;
  // Changes the owner or mode of the pinentry's folder (`bin`) or of the program in it.
  std::function<void(const std::string& bin, const std::string& program, uid_t other)> place;
  bool run;  // whether the tool may run this pinentry
};

TEST(ApproveAsUser, OnlyAPinentryThisUserOrRootPlacedIsRun) {
  ThrowAwayUser user;
  if (!user.made()) GTEST_SKIP() << user.why();
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t other = nobody->pw_uid;

  const Placement placements[] = {
      {"folder and program the user's own", [](auto&, auto&, uid_t) {}, true},
      {"program root's",
       [](const std::string&, const std::string& program, uid_t) {
         ASSERT_EQ(chown(program.c_str(), 0, 0), 0);
         ASSERT_EQ(chmod(program.c_str(), 0755), 0);
       },
       true},
      {"folder root's",
       [](const std::string& bin, const std::string&, uid_t) {
         ASSERT_EQ(chown(bin.c_str(), 0, 0), 0);
         ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
       },
       true},
      {"program another user's",
       [](const std::string&, const std::string& program, uid_t someoneElse) {
         ASSERT_EQ(chown(program.c_str(), someoneElse, someoneElse), 0);
         ASSERT_EQ(chmod(program.c_str(), 0755), 0);
       },
       false},
      {"folder another user's",
       [](const std::string& bin, const std::string&, uid_t someoneElse) {
         ASSERT_EQ(chown(bin.c_str(), someoneElse, someoneElse), 0);
         ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
       },
       false},
      {"program writable by its group",
       [](const std::string&, const std::string& program, uid_t) {
         ASSERT_EQ(chmod(program.c_str(), 0770), 0);
       },
       false},
      {"folder writable by anyone",
       [](const std::string& bin, const std::string&, uid_t) {
         ASSERT_EQ(chmod(bin.c_str(), 0777), 0);
       },
       false},
  };
  for (const auto& placement : placements) {
    SCOPED_TRACE(placement.name);
    ScriptedPinentry pinentry;
    pinentry.script({std::string("pin ") + password});
    testing_support::PamEnvironment pam(user.name(), password);
    const std::string bin = pinentry.binDir();
    user.own(std::filesystem::path(bin).parent_path().string());
    user.own(std::filesystem::path(pam.serviceDir()).parent_path().string());
    placement.place(bin, bin + "/pinentry", other);

    testing_support::RunOptions options;
    options.user = user.ids();
    options.environment = pam.environment();
    for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
    // Only the folder under test: past a refused pinentry the search would go on to the
    // machine's own /usr/bin/pinentry, and the result would depend on which one that is.
    options.environment["PATH"] = bin;
    options.environment["HOME"] = std::filesystem::path(bin).parent_path().string();
    options.timeout = std::chrono::seconds(30);
    RunResult result = testing_support::runFerrowick({"approve", "reason"}, options);
    if (placement.run) {
      EXPECT_EQ(result.out, "approved\n");
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(pinentry.runs(), 1);
    } else {
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err, unavailable);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(pinentry.runs(), 0);
    }
  }
}

}  // namespace
