// Whatever a pinentry writes back, read as one whole prompt would read it: the greeting, the
// replies to the settings, then the reply to GETPIN or CONFIRM. The first input byte sets how
// many bytes each read delivers and whether an answer to INQUIRE gets through; the second how
// many settings come before the final command and which command that is. The rest is the
// stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/pinentry/assuan.h"

namespace {

using pinentry::Outcome;
using pinentry::assuan::Io;
using pinentry::assuan::LineReader;
using pinentry::assuan::Reply;

void check(bool condition) {
  if (!condition) std::abort();
}

LineReader::Fill memorySource(std::string_view stream, std::size_t chunk) {
  return
      [stream, chunk, at = std::size_t{0}](std::span<std::uint8_t> into, std::size_t& got) mutable {
        if (at == stream.size()) return Io::eof;
        got = std::min({chunk, into.size(), stream.size() - at});
        std::memcpy(into.data(), stream.data() + at, got);
        at += got;
        return Io::ok;
      };
}

// Every line handed out is the stream's next line, without its line feed, and fits the buffer.
void checkLines(std::string_view stream, std::size_t chunk) {
  LineReader lines(memorySource(stream, chunk));
  std::size_t at = 0;
  std::string_view line;
  while (lines.next(line) == Io::ok) {
    check(line.size() < pinentry::assuan::lineBufferSize);
    check(line.find('\n') == std::string_view::npos);
    check(at + line.size() < stream.size() && stream.substr(at, line.size()) == line);
    check(stream[at + line.size()] == '\n');
    at += line.size() + 1;
  }
  // What is left never holds a whole line that fits.
  std::string_view rest = stream.substr(at);
  std::size_t lf = rest.find('\n');
  check(lf == std::string_view::npos || lf >= pinentry::assuan::lineBufferSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t chunk = data[0] & 0x7F ? (data[0] & 0x7F) : 4096;
  const bool inquiryAnswered = (data[0] & 0x80) == 0;
  const int settings = data[1] & 0x0F;
  const bool confirming = (data[1] & 0x10) != 0;
  std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  checkLines(stream, chunk);

  LineReader lines(memorySource(stream, chunk));
  auto cancelInquiry = [&] { return inquiryAnswered ? Io::ok : Io::eof; };
  for (int i = 0; i <= settings; ++i) {  // the greeting, then one reply per setting
    Reply reply = pinentry::assuan::readReply(lines, nullptr, cancelInquiry);
    if (!reply.ok) {
      Outcome outcome = pinentry::assuan::failure(reply);
      check(outcome == Outcome::cancelled || outcome == Outcome::timedOut ||
            outcome == Outcome::unavailable);
      return 0;
    }
  }
  SecureBytes pin;
  Reply reply = pinentry::assuan::readReply(lines, confirming ? nullptr : &pin, cancelInquiry);
  if (confirming) {
    Outcome outcome = pinentry::assuan::confirmOutcome(reply);
    check(outcome != Outcome::pin && outcome != Outcome::stopped);
    check((outcome == Outcome::confirmed) == reply.ok);
  } else {
    Outcome outcome = pinentry::assuan::pinOutcome(reply);
    check(outcome != Outcome::confirmed && outcome != Outcome::stopped);
    if (outcome == Outcome::pin) {
      check(reply.ok && !reply.badData);
      check(pin.size() <= pinentry::assuan::maxPinSize);
    }
  }
  return 0;
}
