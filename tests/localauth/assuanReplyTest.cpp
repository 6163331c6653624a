// Reading pinentry's replies from a byte stream, without a process: what a broken or hostile
// pinentry can write (split escapes, missing line feeds, over-long lines, NULs, odd codes) and
// the outcome and PIN each stream gives. Every stream is also delivered one byte at a time,
// which must change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/pinentry/assuan.h"

namespace {

using pinentry::Outcome;
using pinentry::assuan::Io;
using pinentry::assuan::LineReader;
using pinentry::assuan::Reply;

// Hands out `stream` in pieces of at most `chunk` bytes, then reports the end.
LineReader::Fill memorySource(std::string stream, std::size_t chunk) {
  return [stream = std::move(stream), chunk, at = std::size_t{0}](std::span<std::uint8_t> into,
                                                                  std::size_t& got) mutable {
    if (at == stream.size()) return Io::eof;
    got = std::min({chunk, into.size(), stream.size() - at});
    std::memcpy(into.data(), stream.data() + at, got);
    at += got;
    return Io::ok;
  };
}

struct GetPin {
  Outcome outcome;
  std::string pin;
  bool repeated = false;
  int inquiries = 0;
};

// The GETPIN reply read from `stream`, with an INQUIRE answered by a CAN that gets through.
GetPin readGetPin(const std::string& stream, std::size_t chunk) {
  LineReader lines(memorySource(stream, chunk));
  GetPin result{};
  SecureBytes pin;
  Reply reply = pinentry::assuan::readReply(lines, &pin, [&] {
    ++result.inquiries;
    return Io::ok;
  });
  result.outcome = pinentry::assuan::pinOutcome(reply);
  if (result.outcome == Outcome::pin) result.pin = std::string(pin.view());
  result.repeated = reply.repeated;
  return result;
}

TEST(AssuanReply, EachReplyStreamGivesItsOutcomeAndPin) {
  struct Case {
    const char* what;
    std::string stream;
    Outcome outcome;
    std::string pin;
  };
  const std::string longLine = "D " + std::string(pinentry::assuan::lineBufferSize, 'a') + "\nOK\n";
  std::string tooMuchPin;
  for (int i = 0; i < 70; ++i) tooMuchPin += "D " + std::string(999, 'p') + "\n";
  tooMuchPin += "OK\n";
  const Case cases[] = {
      {"escapes decoded, lines joined", "D pass%25wo\nD rd%0A\nOK\n", Outcome::pin,
       "pass%wo"
       "rd\n"},
      {"a NUL comes back as a byte", "D a%00b\nOK\n", Outcome::pin, std::string("a\0b", 3)},
      {"lower-case hex", "D %e4%b8%ad\nOK\n", Outcome::pin, "中"},
      {"OK with no D line is an empty PIN", "S PROGRESS 1\n# note\nOK\n", Outcome::pin, ""},
      {"a line that only starts like OK is not one", "OKAY\nD x\nOK done\n", Outcome::pin, "x"},
      {"an escape split across lines", "D ab%4\nD 1\nOK\n", Outcome::unavailable, ""},
      {"an escape with a bad digit", "D %G1\nOK\n", Outcome::unavailable, ""},
      {"cancel", "ERR 83886179 Operation cancelled <Pinentry>\n", Outcome::cancelled, ""},
      {"time-out after a status line", "S ERROR timeout\nERR 83886142 Timeout <Pinentry>\n",
       Outcome::timedOut, ""},
      {"no terminal", "ERR 83918950 Inappropriate ioctl for device\n", Outcome::unavailable, ""},
      {"a code without its source", "ERR 99\n", Outcome::cancelled, ""},
      {"a code that is no number", "ERR cancelled\n", Outcome::unavailable, ""},
      {"a code too big for any integer", "ERR 99999999999999999999999 x\n", Outcome::unavailable,
       ""},
      {"ERR after a PIN drops the PIN", "D secret\nERR 99 gone\n", Outcome::cancelled, ""},
      {"OK without a line feed", "D x\nOK", Outcome::unavailable, ""},
      {"nothing at all", "", Outcome::unavailable, ""},
      {"a line longer than the buffer", longLine, Outcome::unavailable, ""},
      {"more PIN than we take", tooMuchPin, Outcome::unavailable, ""},
      {"an inquiry is refused and reading goes on", "INQUIRE PINENTRY_LAUNCHED 1\nD x\nOK\n",
       Outcome::pin, "x"},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {std::size_t{1}, c.stream.size() + 1}) {
      SCOPED_TRACE(std::string(c.what) + (chunk == 1 ? ", byte by byte" : ", at once"));
      GetPin result = readGetPin(c.stream, chunk);
      EXPECT_EQ(result.outcome, c.outcome);
      EXPECT_TRUE(result.pin == c.pin);
    }
  }
}

TEST(AssuanReply, RepeatAndInquiryAreReported) {
  GetPin repeated = readGetPin("S PIN_REPEATED\nD x\nOK\n", 3);
  EXPECT_EQ(repeated.outcome, Outcome::pin);
  EXPECT_TRUE(repeated.repeated);
  EXPECT_EQ(repeated.inquiries, 0);

  GetPin asked = readGetPin("INQUIRE A\nINQUIRE B\nOK\n", 5);
  EXPECT_FALSE(asked.repeated);
  EXPECT_EQ(asked.inquiries, 2);
}

TEST(AssuanReply, ConsecutiveRepliesAreReadOneCommandAtATime) {
  // Greeting, one setting, then GETPIN, all arriving in one read.
  LineReader lines(memorySource("OK Pleased to meet you\nOK\nD 1%252\nOK\n", 4096));
  auto noInquiry = [] { return Io::eof; };
  EXPECT_TRUE(pinentry::assuan::readReply(lines, nullptr, noInquiry).ok);
  EXPECT_TRUE(pinentry::assuan::readReply(lines, nullptr, noInquiry).ok);
  SecureBytes pin;
  Reply reply = pinentry::assuan::readReply(lines, &pin, noInquiry);
  EXPECT_EQ(pinentry::assuan::pinOutcome(reply), Outcome::pin);
  EXPECT_TRUE(pin.view() == "1%2");
  EXPECT_EQ(pinentry::assuan::readReply(lines, nullptr, noInquiry).io, Io::eof);
}

TEST(AssuanReply, DataWhereNoneWasAskedForIsABrokenReply) {
  LineReader lines(memorySource("D x\nOK\n", 64));
  Reply reply = pinentry::assuan::readReply(lines, nullptr, [] { return Io::ok; });
  EXPECT_TRUE(reply.ok);
  EXPECT_TRUE(reply.badData);
  EXPECT_EQ(pinentry::assuan::pinOutcome(reply), Outcome::unavailable);
}

TEST(AssuanReply, ConfirmTellsRefusalFromCancelAndFailure) {
  struct Case {
    std::string stream;
    Outcome outcome;
  };
  const Case cases[] = {
      {"OK\n", Outcome::confirmed},
      {"ERR 83886194 Not confirmed\n", Outcome::cancelled},
      {"ERR 83886179 Operation cancelled\n", Outcome::cancelled},
      {"ERR 83886142 Timeout\n", Outcome::timedOut},
      {"ERR 83886278 Operation fully cancelled\n", Outcome::unavailable},
      {"S PIN_REPEATED\n", Outcome::unavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stream);
    LineReader lines(memorySource(c.stream, 2));
    Reply reply = pinentry::assuan::readReply(lines, nullptr, [] { return Io::ok; });
    EXPECT_EQ(pinentry::assuan::confirmOutcome(reply), c.outcome);
  }
}

}  // namespace
