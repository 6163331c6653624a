// The key query: the item's class, service and account, nothing more, the account as given.
#include <gtest/gtest.h>

#include <string>

#include "Ferrowick/keystore/keyQuery.h"

namespace {

using ferrowick::keyQuery;

// The keychain looks entries up by key, so their order is not part of what a query says.
void expectKeyQuery(const SecDictionary& query, const std::string& account) {
  EXPECT_EQ(query.size(), 3u);
  const auto* itemClass = query.get<SecConstant>(kSecClass);
  ASSERT_NE(itemClass, nullptr);
  EXPECT_EQ(itemClass->value, kSecClassGenericPassword);
  const auto* service = query.get<std::string>(kSecAttrService);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(*service, "org.quennet.peldora.v1");
  const auto* stored = query.get<std::string>(kSecAttrAccount);
  ASSERT_NE(stored, nullptr);
  EXPECT_TRUE(*stored == account);
}

TEST(KeyQueryTest, NamesTheClassTheServiceAndTheAccountAsGiven) {
  // The account is taken as given, whatever it holds: keyQuery checks nothing.
  for (std::string account :
       {std::string("device-key"), std::string(""), std::string("a b\n"),
        std::string("Peldora \xE5\xAF\x86"), std::string("\xFF\x00x", 3), std::string(300, 'q')}) {
    SCOPED_TRACE(account.size());
    expectKeyQuery(keyQuery(account), account);
    // What one caller adds to its query (a read, a lookup) is not in the next one.
    SecDictionary extended = keyQuery(account);
    extended.set(kSecReturnData, true);
    extended.set(kSecAttrAccount, std::string("other"));
    expectKeyQuery(keyQuery(account), account);
  }
}

}  // namespace
