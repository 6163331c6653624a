// The few pieces of the Assuan line protocol that pinentry speaks, kept apart from the process
// handling so they can be tested (and fuzzed) on their own: escaping, splitting what pinentry
// writes into lines, and reading the reply to one command.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "Ferrowick/Foundation.h"
#include "platform/pinentry/Pinentry.h"

namespace pinentry::assuan {

inline constexpr std::size_t maxLineLength = 1000;  // bytes before the line feed
// What we buffer of pinentry's output; a longer line ends the conversation (no such line in
// this protocol).
inline constexpr std::size_t lineBufferSize = 4 * 1024;
// The most PIN bytes we take from D lines; more is treated as a broken reply.
inline constexpr std::size_t maxPinSize = 64 * 1024;

// Appends the percent-decoded `data` to `out`; false on a malformed escape.
bool unescapeInto(std::string_view data, SecureBytes& out);

// The code of an "ERR <code> <text>" line, reduced to its low 16 bits (the gpg-error code
// without its source); nullopt when the line is not an ERR line.
std::optional<unsigned> errorCode(std::string_view line);

inline constexpr unsigned codeCancelled = 99;
inline constexpr unsigned codeTimeout = 62;
inline constexpr unsigned codeNotConfirmed = 114;

// How a wait for pinentry ended: data (or room) came, the other end went away, or the prompt
// was stopped.
enum class Io { ok, eof, stopped };

// Splits pinentry's output into lines. `fill` is asked for more bytes whenever no complete line
// is buffered: it stores at least one byte into `into` and sets `got` (returning Io::ok), or
// reports Io::eof / Io::stopped. The buffer is locked memory, since D lines carry the PIN.
class LineReader {
 public:
  using Fill = std::function<Io(std::span<std::uint8_t> into, std::size_t& got)>;
  explicit LineReader(Fill fill, std::size_t capacity = lineBufferSize);

  // The next line without its line feed; it stays valid until the next call. A line that does
  // not fit the buffer, or bytes left without a line feed at the end, give Io::eof.
  Io next(std::string_view& line);

 private:
  Fill fill_;
  SecureBytes buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// What answered one command.
struct Reply {
  Io io = Io::ok;         // Io::ok when an OK or ERR line ended the reply
  bool ok = false;        // an OK line
  unsigned code = 0;      // of an ERR line
  bool repeated = false;  // S PIN_REPEATED came first
  bool badData = false;   // a D line that was malformed, unasked for or too long
};

// Reads status and data lines up to the OK or ERR that answers one command. D lines are
// decoded into `data`; with `data` null any D line is bad data. An INQUIRE is refused through
// `cancelInquiry` (which sends CAN); if that fails the reply ends as it stands.
Reply readReply(LineReader& lines, SecureBytes* data, const std::function<Io()>& cancelInquiry);

// The outcome of a reply that did not end with OK.
Outcome failure(const Reply& reply);
// The outcome of GETPIN's reply: a PIN only after OK with sound data.
Outcome pinOutcome(const Reply& reply);
// The outcome of CONFIRM's reply.
Outcome confirmOutcome(const Reply& reply);

}  // namespace pinentry::assuan
