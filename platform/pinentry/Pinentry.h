// A client for pinentry, the standard Linux secret-prompt program, spoken to over the Assuan
// protocol on two pipes. One pinentry process per prompt, found through PATH (absolute entries
// only, and only one that nobody but root or this user could have placed), and none left
// running when this process exits.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Ferrowick/Foundation.h"

namespace pinentry {

// Every text is sent escaped for the protocol only; a text too long for one command line
// (1000 bytes) is cut at a UTF-8 character boundary and ends with "…".
struct Request {
  std::string title;        // SETTITLE, if not empty
  std::string description;  // SETDESC, always sent, exactly as given
  std::string prompt;       // SETPROMPT, if not empty
  std::string okLabel;      // SETOK, if not empty
  std::string cancelLabel;  // SETCANCEL, if not empty
  std::string error;        // SETERROR, if not empty (e.g. after a wrong try)
  std::string repeat;       // SETREPEAT with this label, if not empty: ask twice, must match
                            // (a pinentry that asks once is asked again under this label)
  std::string repeatError;  // SETREPEATERROR, if not empty: shown by a pinentry that compares
                            // the two entries itself (taken or not: its own text otherwise)
  int timeoutSeconds = 0;   // SETTIMEOUT (always sent; 0 means pinentry's "no time-out")
};

enum class Outcome {
  pin,          // the user entered a PIN (maybe empty)
  cancelled,    // the user cancelled (pinentry's code 99), or refused a CONFIRM
  timedOut,     // pinentry's own time-out ran out
  unavailable,  // no pinentry, or it could not show a prompt (no display/terminal, EOF, error)
  stopped,      // ended through Cancellation::stop()
  confirmed,    // CONFIRM only: the user said yes
};

struct Result {
  Outcome outcome = Outcome::unavailable;
  SecureBytes pin;  // only for Outcome::pin
  // With Request::repeat: both entries matched (pinentry said so, or a second entry was asked
  // and compared). A mismatch is Outcome::pin with `repeated` false and no PIN.
  bool repeated = false;
};

// Lets another thread end a prompt that is in progress: SIGINT, then SIGKILL after a short
// grace. Safe to call at any time, also before or after the prompt, and more than once; once
// stopped, every later prompt through it ends at once with Outcome::stopped. stop() only
// signals and returns: the prompting thread ends and reaps the pinentry process. One prompt at
// a time per Cancellation.
class Cancellation {
 public:
  Cancellation();
  ~Cancellation();
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;
  void stop();
  bool stopped() const;

  struct State;
  std::shared_ptr<State> state;
};

// Whether a pinentry that may be run is on PATH.
bool available();

// Shows one prompt and blocks until it ends. `cancellation` may be null.
Result getPin(const Request& request, Cancellation* cancellation = nullptr);

// A yes/no confirmation (CONFIRM): Outcome::confirmed when the user said yes, cancelled when
// the user refused or cancelled, otherwise as for getPin.
Outcome confirm(const Request& request, Cancellation* cancellation = nullptr);

// A notice with one button (CONFIRM --one-button, the button labelled Request::okLabel) that
// stays until the user presses the button or closes it: Outcome::confirmed or cancelled (the
// flavours differ in which), otherwise as for getPin. The caller ends it early through
// `cancellation`.
Outcome notice(const Request& request, Cancellation* cancellation = nullptr);

// The protocol's escaping of a text we send: %, CR, LF and other bytes below 0x20 as %XX.
std::string escape(std::string_view text);

// The command line `command` + " " + escaped `text`, cut so that it stays within the
// protocol's 1000 bytes without splitting a UTF-8 character or an escape; a cut text ends
// with "…".
std::string commandLine(std::string_view command, std::string_view text);

}  // namespace pinentry
