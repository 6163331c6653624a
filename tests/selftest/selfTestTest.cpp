// self-test through the front end, against the fake keychain services: the fixture keychain's
// name and password, what it asks of the keychain, where the interaction setting is switched,
// and every way the run can end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/AccessObjectFailures.h"
#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeSecurity.h"

namespace {

using ::testing::ElementsAreArray;
namespace security = fake::security;
using Arguments = std::vector<std::pair<std::string, std::string>>;

const std::string passed = "Login Keychain ACL refused unattended read; fixture removed\n";
const std::string service = "org.quennet.peldora.v1";
const std::string fileUUID = "6F1C2A3B-4D5E-4F60-8172-839405A6B7C8";
const std::string passwordUUID = "0A9B8C7D-6E5F-4A3B-9C2D-1E0F2A3B4C5D";
const std::string fileName = "fixture-" + fileUUID + ".keychain-db";

// Where `operation` was asked among all calls (its `nth` time); -1 when it never was.
long positionOf(const std::string& operation, int nth = 0) {
  const auto& calls = security::state().calls;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].operation == operation && nth-- == 0) return static_cast<long>(i);
  }
  return -1;
}

// The probe read came with interaction off, and it was switched on again right after: the
// order here is the behaviour (a read with interaction on could prompt and pass).
void expectProbeReadWithInteractionOff(const std::string& label) {
  long off = positionOf("SecKeychainSetUserInteractionAllowed", 0);
  long probe = positionOf("SecItemCopyMatching");
  long on = positionOf("SecKeychainSetUserInteractionAllowed", 1);
  EXPECT_GE(off, 0) << label;
  EXPECT_LT(off, probe) << label;
  EXPECT_LT(probe, on) << label;
}

std::vector<std::string> interactionSettings() {
  std::vector<std::string> settings;
  for (const auto& call : security::callsOf("SecKeychainSetUserInteractionAllowed")) {
    settings.push_back(call.argument("state"));
  }
  return settings;
}

class SelfTestTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    security::reset();
    fake::scriptedUUIDs() = {fileUUID, passwordUUID};
    fake::uuidCalls() = 0;
  }

  static fake::Outcome run(const std::string& folder = "/var/tmp/probe") {
    fake::Outcome outcome = fake::runFrontEnd({"Ferrowick", "self-test", folder});
    // On no path may the fixture password be shown.
    EXPECT_EQ(outcome.out.find(passwordUUID), std::string::npos);
    EXPECT_EQ(outcome.err.find(passwordUUID), std::string::npos);
    return outcome;
  }
};

TEST_F(SelfTestTest, PassesWhenTheProbeIsRefusedAndRemovesTheFixture) {
  struct Case {
    std::string folder;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"/var/tmp/probe", "/var/tmp/probe/" + fileName},
      {"/var/tmp/probe/", "/var/tmp/probe/" + fileName},
      {"relative/folder", "relative/folder/" + fileName},
      {"/tmp/with space/two levels/ deep ", "/tmp/with space/two levels/ deep /" + fileName},
      {"/", "/" + fileName},
  };
  for (const Case& c : cases) {
    reset();
    fake::Outcome outcome = run(c.folder);
    EXPECT_EQ(outcome.status, 0) << c.folder;
    EXPECT_EQ(outcome.out, passed) << c.folder;
    EXPECT_EQ(outcome.outWrites, 1);
    EXPECT_EQ(outcome.err, "") << c.folder;
    auto created = security::callsOf("SecKeychainCreate");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].argument("path"), c.path);
    EXPECT_FALSE(security::keychainExists(c.path)) << c.folder;
  }
}

TEST_F(SelfTestTest, ProbesAProtectedFixtureItemWithInteractionOffForTheReadAlone) {
  const std::string path = "/var/tmp/probe/" + fileName;
  const std::string keychain = "<keychain:" + path + ">";
  ASSERT_EQ(run().out, passed);
  expectProbeReadWithInteractionOff("");
  EXPECT_THAT(interactionSettings(), ElementsAreArray({"false", "true"}));
  EXPECT_TRUE(security::state().interactionAllowed);

  security::Call create = security::callsOf("SecKeychainCreate")[0];
  EXPECT_EQ(create.argument("passwordLength"), "36");
  EXPECT_EQ(create.argument("promptUser"), "false");
  EXPECT_EQ(create.argument("initialAccess"), "<null>");
  // The second UUID is the password: that is what the keychain was created with.
  EXPECT_TRUE(security::state().lastKeychainPassword == SecureBytes(passwordUUID));

  security::Call access = security::callsOf("SecAccessCreate")[0];
  EXPECT_EQ(access.argument("descriptor"), "Peldora test fixture");
  EXPECT_EQ(security::callsOf("SecACLSetContents")[0].argument("description"),
            "Peldora test fixture");

  security::Call add = security::callsOf("SecItemAdd")[0];
  EXPECT_EQ(add.arguments, (Arguments{{"class", "genp"},
                                      {"svce", service},
                                      {"acct", "fixture"},
                                      {"u_Keychain", keychain},
                                      {"acls", "<access>"},
                                      {"v_Data", "<data:32>"}}));
  EXPECT_FALSE(add.resultGiven);

  security::Call probe = security::callsOf("SecItemCopyMatching")[0];
  EXPECT_EQ(probe.arguments, (Arguments{{"class", "genp"},
                                        {"svce", service},
                                        {"acct", "fixture"},
                                        {"m_SearchList", "[" + keychain + "]"},
                                        {"r_Data", "true"}}));
  EXPECT_TRUE(probe.resultGiven);
  EXPECT_EQ(probe.status, errSecInteractionNotAllowed);

  EXPECT_EQ(security::callsOf("SecKeychainDelete")[0].argument("keychain"), keychain);
  // Nothing went to the user's own keychain.
  EXPECT_EQ(security::itemCount(), 0u);
  EXPECT_TRUE(security::state().prompts.empty());
}

TEST_F(SelfTestTest, EveryRunUsesANewFileAndPassword) {
  fake::scriptedUUIDs().clear();
  ASSERT_EQ(run("/var/tmp/probe").out, passed);
  ASSERT_EQ(run("/var/tmp/probe").out, passed);
  auto created = security::callsOf("SecKeychainCreate");
  ASSERT_EQ(created.size(), 2u);
  EXPECT_NE(created[0].argument("path"), created[1].argument("path"));
  EXPECT_EQ(fake::uuidCalls(), 4);
}

// Each case changes one answer of the keychain after the fixture item is stored.
struct ProbeCase {
  const char* label;
  std::function<void(security::Failures&)> arrange;
  std::string message;  // "" for a pass
};

TEST_F(SelfTestTest, VerdictFollowsTheProbeAndTheCleanup) {
  const std::string failed = "Unattended-read enforcement failed: ";
  const std::vector<ProbeCase> cases = {
      {"refused for want of the user", [](auto&) {}, ""},
      {"refused as an authentication failure", [](auto& f) { f.copyMatching = errSecAuthFailed; },
       ""},
      {"probe read succeeds", [](auto& f) { f.copyMatchingDataLength = 32; },
       failed + "0, cleanup: 0"},
      {"status 0 but nothing returned", [](auto& f) { f.copyMatching = 0; },
       failed + "0, cleanup: 0"},
      {"item not found", [](auto& f) { f.copyMatching = errSecItemNotFound; },
       failed + "-25300, cleanup: 0"},
      {"user cancelled", [](auto& f) { f.copyMatching = errSecUserCanceled; },
       failed + "-128, cleanup: 0"},
      {"positive status", [](auto& f) { f.copyMatching = 25308; }, failed + "25308, cleanup: 0"},
      {"refusal that still returned data",
       [](auto& f) {
         f.copyMatching = errSecInteractionNotAllowed;
         f.copyMatchingDataLength = 32;
       },
       failed + "-25308, cleanup: 0"},
      {"refusal with a failed cleanup", [](auto& f) { f.keychainDelete = errSecWrPerm; },
       failed + "-25308, cleanup: -61"},
      {"authentication refusal with a failed cleanup",
       [](auto& f) {
         f.copyMatching = errSecAuthFailed;
         f.keychainDelete = errSecNoSuchKeychain;
       },
       failed + "-25293, cleanup: -25294"},
      {"read and cleanup both wrong",
       [](auto& f) {
         f.copyMatchingDataLength = 32;
         f.keychainDelete = 1;
       },
       failed + "0, cleanup: 1"},
  };
  for (const ProbeCase& c : cases) {
    reset();
    c.arrange(security::state().failures);
    fake::Outcome outcome = run();
    if (c.message.empty()) {
      EXPECT_EQ(outcome.status, 0) << c.label;
      EXPECT_EQ(outcome.out, passed) << c.label;
      EXPECT_EQ(outcome.err, "") << c.label;
    } else {
      EXPECT_EQ(outcome.status, 1) << c.label;
      EXPECT_EQ(outcome.out, "") << c.label;
      EXPECT_EQ(outcome.err, c.message + "\n") << c.label;
    }
    // Whatever the verdict: the probe ran with interaction off, the setting is back on, and
    // the cleanup was asked.
    expectProbeReadWithInteractionOff(c.label);
    EXPECT_THAT(interactionSettings(), ElementsAreArray({"false", "true"})) << c.label;
    EXPECT_GE(positionOf("SecKeychainDelete"), 0) << c.label;
    EXPECT_TRUE(security::state().interactionAllowed) << c.label;
  }
}

TEST_F(SelfTestTest, FailuresBeforeTheProbeLeaveTheInteractionSettingAlone) {
  struct Case {
    const char* label;
    std::function<void(security::Failures&)> arrange;
    std::string message;
    bool fixtureLeft;  // the fixture keychain is still registered afterwards
  };
  std::vector<Case> cases = {
      {"creation refused", [](auto& f) { f.keychainCreate = errSecWrPerm; },
       "Fixture creation failed: -61", false},
      {"no such folder", [](auto& f) { f.keychainCreate = errSecNoSuchKeychain; },
       "Fixture creation failed: -25294", false},
      {"creation with a positive status", [](auto& f) { f.keychainCreate = 4; },
       "Fixture creation failed: 4", false},
      {"creation 0 without a handle", [](auto& f) { f.keychainCreateWithoutHandle = true; },
       "Fixture creation failed: 0", true},
      {"insertion refused", [](auto& f) { f.itemAdd = errSecWrPerm; },
       "Fixture insertion failed: -61", false},
      {"insertion with a positive status", [](auto& f) { f.itemAdd = 1; },
       "Fixture insertion failed: 1", false},
      {"insertion and its cleanup refused",
       [](auto& f) {
         f.itemAdd = errSecDuplicateItem;
         f.keychainDelete = errSecWrPerm;
       },
       "Fixture insertion failed: -25299", true},
  };
  // The access object is built with the fixture keychain already made.
  for (const auto& failure : security::accessObjectFailures()) {
    cases.push_back({failure.label, failure.arrange, failure.message, true});
  }
  const std::string path = "/var/tmp/probe/" + fileName;
  for (const Case& c : cases) {
    reset();
    c.arrange(security::state().failures);
    fake::Outcome outcome = run();
    EXPECT_EQ(outcome.status, 1) << c.label;
    EXPECT_EQ(outcome.out, "") << c.label;
    EXPECT_EQ(outcome.err, c.message + "\n") << c.label;
    EXPECT_EQ(positionOf("SecItemCopyMatching"), -1) << c.label << ": probed anyway";
    EXPECT_TRUE(interactionSettings().empty()) << c.label;
    EXPECT_EQ(security::keychainExists(path), c.fixtureLeft) << c.label;
  }
}

}  // namespace
