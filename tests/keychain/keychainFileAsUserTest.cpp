// The keychain's file rules as an ordinary user sees them. Where the tests run as root, a few
// file cases take a root-only way (giving a file away) or skip (root writes into read-only
// folders); this runs the whole file suite again as a throw-away unprivileged user, so the
// path every real user takes is proved too.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/RunBinary.h"
#include "tests/support/ThrowAwayUser.h"

namespace {

// Planting another user's journal needs root to be that other user: it runs in the root pass.
constexpr const char* suite =
    "KeychainFileTest.*:-KeychainFileTest.AnotherUsersJournalIsNeverRolledIntoAnOpenKeychain";

TEST(KeychainFileAsUser, TheFileSuitePassesAsAnUnprivilegedUserWithNothingSkipped) {
  testing_support::ThrowAwayUser user;
  if (!user.made()) GTEST_SKIP() << user.why();
  testing_support::TempDir scratch;
  user.own(scratch.path());
  testing_support::RunOptions options;
  options.user = user.ids();
  options.environment["TMPDIR"] = scratch.path();
  options.environment["HOME"] = scratch.path();
  options.timeout = std::chrono::seconds(240);
  testing_support::RunResult result =
      testing_support::run(KEYCHAIN_FILE_TEST, {"--gtest_filter=" + std::string(suite)}, options);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.find("[  SKIPPED ]"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("[  PASSED  ]"), std::string::npos) << result.out;
}

}  // namespace
