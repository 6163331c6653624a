// The keychain owner's writes (a new password, a deleted item) are reported by what the file
// holds once they committed, whatever failed after that.
#include <gtest/gtest.h>

#include "platform/keychain/keychainCare.h"
#include "tests/keychain/FailingUnlock.h"
#include "tests/keychain/RealKeychainFixture.h"

namespace keychain_test {
namespace {

const SecureBytes secret{std::string_view("care write test: 32 bytes here!!")};
const std::string service = "org.quennet.peldora.v1";

TEST(KeychainCareWriteTest, PasswdAndDeleteThatCommittedAreDoneThoughReleasingTheLockFailed) {
  FailingUnlock::install();
  KeychainHome home;
  const std::string path = home.scratch("care.keychain-db");
  SecKeychainRef keychain = createKeychainAt(path);
  ASSERT_EQ(addItem("device-1", secret, openAccess(), keychain), errSecSuccess);
  ASSERT_EQ(addItem("device-2", secret, openAccess(), keychain), errSecSuccess);
  using keychain::FolderRule;
  namespace care = keychain::care;

  home.answer({"pin " + std::string(password), "pin new password", "pin new password"});
  FailingUnlock::armed = true;
  const OSStatus changed = care::changePassword(path, FolderRule::shared);
  FailingUnlock::armed = false;
  EXPECT_EQ(changed, errSecSuccess);

  home.answer({"pin new password"});
  FailingUnlock::armed = true;
  const OSStatus deleted = care::deleteItem(path, FolderRule::shared, service, "device-1");
  FailingUnlock::armed = false;
  EXPECT_EQ(deleted, errSecSuccess) << "the new password was not the one in the file";

  std::vector<care::ItemSummary> items;
  ASSERT_EQ(care::listItems(path, FolderRule::shared, service, items), errSecSuccess);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].account, "device-2");
}

}  // namespace
}  // namespace keychain_test
