// The key query: three entries in a fixed order, each caller getting its own copy.
#include <gtest/gtest.h>

#include <string>

#include "Ferrowick/keystore/keyQuery.h"

namespace {

using ferrowick::keyQuery;

void expectKeyQuery(const SecDictionary& query, const std::string& account) {
  ASSERT_EQ(query.size(), 3u);
  auto entry = query.begin();
  EXPECT_EQ(entry->first, kSecClass);
  const auto* itemClass = std::get_if<SecConstant>(&entry->second);
  ASSERT_NE(itemClass, nullptr);
  EXPECT_EQ(itemClass->value, kSecClassGenericPassword);
  ++entry;
  EXPECT_EQ(entry->first, kSecAttrService);
  const auto* service = std::get_if<std::string>(&entry->second);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(*service, "org.quennet.peldora.v1");
  ++entry;
  EXPECT_EQ(entry->first, kSecAttrAccount);
  const auto* stored = std::get_if<std::string>(&entry->second);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(*stored, account);
}

TEST(KeyQueryTest, HoldsClassServiceAndAccountInThatOrder) {
  // The account is taken as given, whatever it holds: keyQuery checks nothing.
  for (std::string account :
       {std::string("device-key"), std::string(""), std::string("a b\n"),
        std::string("Peldora \xE5\xAF\x86"), std::string("\xFF\x00x", 3), std::string(300, 'q')}) {
    expectKeyQuery(keyQuery(account), account);
  }
}

TEST(KeyQueryTest, ExtendingOneCopyLeavesAnotherAlone) {
  SecDictionary first = keyQuery("k");
  SecDictionary second = keyQuery("k");
  first.set(kSecReturnData, true);
  first.set(kSecAttrAccount, std::string("other"));
  expectKeyQuery(second, "k");
  SecDictionary copy = second;
  copy.set(kSecReturnAttributes, true);
  expectKeyQuery(second, "k");
}

}  // namespace
