// The one failure routine and the two result writers, in-process.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "Ferrowick/frontEnd.h"
#include "tests/fakes/FakeFoundation.h"

namespace {

TEST(DieTest, WritesTheMessageAndOneLineFeedInOneWriteAndExitsWithOne) {
  for (std::string message : {std::string("Unknown operation"), std::string("失败：密钥不可用"),
                              std::string(""), std::string(2000, 'm')}) {
    fake::Outcome outcome = fake::runOperation([&] { ferrowick::die(message); });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, message + "\n");
    EXPECT_EQ(fake::streams().errWrites, 1);
  }
}

TEST(DieTest, AnExceptionThatReachedTheTopEndsWithOneFixedLine) {
  struct Case {
    const char* label;
    std::exception_ptr exception;
    std::string err;
  };
  const Case cases[] = {
      {"failed allocation", std::make_exception_ptr(std::bad_alloc()), "Out of memory\n"},
      {"failed array allocation", std::make_exception_ptr(std::bad_array_new_length()),
       "Out of memory\n"},
      // Its own text could hold anything, a secret included: it is never shown.
      {"standard exception", std::make_exception_ptr(std::runtime_error("pin 1234")),
       "Internal error\n"},
      {"not a standard exception", std::make_exception_ptr(42), "Internal error\n"},
      {"terminate without an exception", nullptr, "Internal error\n"},
  };
  for (const Case& c : cases) {
    fake::Outcome outcome = fake::runOperation([&] { ferrowick::dieOfException(c.exception); });
    EXPECT_EQ(outcome.status, 1) << c.label;
    EXPECT_EQ(outcome.out, "") << c.label;
    EXPECT_EQ(outcome.err, c.err) << c.label;
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

TEST(ResultWritersTest, AResultThatDoesNotReachStandardOutputIsAFailure) {
  const std::string raw("\x01\x02secret", 8);
  const std::pair<const char*, std::function<void()>> writers[] = {
      {"result line", [] { ferrowick::writeResultLine("approved"); }},
      {"raw result", [&] { ferrowick::writeRawResult(raw); }},
  };
  for (const auto& [label, write] : writers) {
    fake::Outcome outcome = fake::runOperation(write, /*outputRefused=*/true);
    EXPECT_EQ(outcome.status, 1) << label;
    EXPECT_EQ(outcome.err, "Cannot write result\n") << label;
    EXPECT_EQ(outcome.out, "") << label;
  }
}

}  // namespace
