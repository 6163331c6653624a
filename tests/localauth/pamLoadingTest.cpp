// libpam is opened only when an approval needs it: the loader finds its calls (or says it
// can't), and a key operation of the real binary never maps libpam while an approval does.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/localauth/pamLibrary.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using testing_support::RunOptions;
using testing_support::TempDir;

bool mapped(const std::string& name) {
  return testing_support::readFile("/proc/self/maps").find(name) != std::string::npos;
}

TEST(PamLoadingTest, TheSystemLibraryIsOpenedOnFirstUseAndAMissingOneGivesNothing) {
  // This test program links no PAM, so nothing of it is mapped before the loader runs.
  ASSERT_FALSE(mapped("libpam.so"));
  EXPECT_FALSE(localauth::loadPamLibrary("libferrowick-no-such-pam.so.0"));
  const localauth::PamLibrary* pam = localauth::pamLibrary();
  ASSERT_NE(pam, nullptr);
  EXPECT_NE(pam->start, nullptr);
  EXPECT_NE(pam->authenticate, nullptr);
  EXPECT_NE(pam->accountManagement, nullptr);
  EXPECT_NE(pam->end, nullptr);
  EXPECT_TRUE(mapped("libpam.so"));
}

TEST(PamLoadingTest, OnlyAnApprovalMapsLibpam) {
  TempDir home;
  testing_support::ScriptedPinentry pinentry;
  struct Case {
    std::vector<std::string> arguments;
    bool loadsPam;
  };
  const Case cases[] = {
      {{"ensure-key", "pam-probe"}, false},  // creates the item
      {{"ensure-key", "pam-probe"}, false},  // finds it
      {{"approve", "probe"}, true},          // the control: cancelled at PAM's prompt
  };
  for (const Case& c : cases) {
    pinentry.script({c.loadsPam ? "cancel" : "pin bench-password", "pin bench-password"});
    RunOptions options = testing_support::privateHomeOptions(home);
    for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
    TempDir logs;
    options.environment["LD_DEBUG"] = "libs";
    options.environment["LD_DEBUG_OUTPUT"] = logs.file("loader");
    options.environment["LD_PRELOAD"] = std::nullopt;
    options.timeout = std::chrono::seconds(30);
    testing_support::RunResult result = testing_support::runFerrowick(c.arguments, options);
    std::string trace;
    for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
      trace += testing_support::readFile(entry.path().string());
    }
    ASSERT_NE(trace.find("libsqlite3"), std::string::npos) << "no loader trace";
    EXPECT_EQ(trace.find("libpam.so") != std::string::npos, c.loadsPam)
        << c.arguments[0] << ": " << result.err;
    EXPECT_EQ(result.status, c.loadsPam ? 1 : 0) << c.arguments[0] << ": " << result.err;
  }
}

}  // namespace
