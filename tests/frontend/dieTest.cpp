// The one failure routine and the two result writers, in-process.
#include <gtest/gtest.h>

#include "Ferrowick/frontEnd.h"
#include "tests/fakes/FakeFoundation.h"

namespace {

TEST(DieTest, WritesTheMessageAndOneLineFeedInOneWriteAndExitsWithOne) {
  for (std::string message :
       {std::string("Unknown operation"), std::string("失败：密钥不可用"), std::string("")}) {
    fake::Outcome outcome = fake::runOperation([&] { ferrowick::die(message); });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, message + "\n");
    EXPECT_EQ(fake::streams().errWrites, 1);
  }
}

TEST(ResultWritersTest, LineAddsOneLineFeedAndRawAddsNothing) {
  fake::Outcome line = fake::runOperation([] { ferrowick::writeResultLine("created"); });
  EXPECT_EQ(line.out, "created\n");
  EXPECT_EQ(line.outWrites, 1);

  const std::string raw("\x00\n\xff key", 7);
  fake::Outcome bytes = fake::runOperation([&] { ferrowick::writeRawResult(raw); });
  EXPECT_EQ(bytes.status, 0);
  EXPECT_EQ(bytes.out, raw);
  EXPECT_EQ(bytes.outWrites, 1);
}

}  // namespace
