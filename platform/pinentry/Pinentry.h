// A client for pinentry, the standard Linux secret-prompt program, spoken to over the Assuan
// protocol on two pipes. One pinentry process per prompt, found through PATH.
#pragma once

#include <memory>
#include <string>

#include "Ferrowick/Foundation.h"

namespace pinentry {

struct Request {
  std::string title;        // SETTITLE, if not empty
  std::string description;  // SETDESC, sent exactly as given (escaped for the protocol only)
  std::string prompt;       // SETPROMPT, if not empty
  std::string okLabel;      // SETOK, if not empty
  std::string cancelLabel;  // SETCANCEL, if not empty
  std::string error;        // SETERROR, if not empty (e.g. after a wrong try)
  std::string repeat;       // SETREPEAT with this label, if not empty: ask twice, must match
  int timeoutSeconds = 0;   // SETTIMEOUT (always sent; 0 means pinentry's "no time-out")
};

enum class Outcome {
  pin,          // the user entered a PIN (maybe empty)
  cancelled,    // the user cancelled (pinentry's code 99)
  timedOut,     // pinentry's own time-out ran out
  unavailable,  // no pinentry, or it could not show a prompt (no display/terminal, EOF, error)
  stopped,      // ended through Cancellation::stop()
};

struct Result {
  Outcome outcome = Outcome::unavailable;
  SecureBytes pin;  // only for Outcome::pin
};

// Lets another thread end a prompt that is in progress: SIGINT, then SIGKILL after a short
// grace. Safe to call at any time, also before or after the prompt, and more than once.
class Cancellation {
 public:
  Cancellation();
  ~Cancellation();
  void stop();

  struct State;
  std::shared_ptr<State> state;
};

// Whether an executable named "pinentry" is on PATH.
bool available();

// Shows one prompt and blocks until it ends. `cancellation` may be null.
Result getPin(const Request& request, Cancellation* cancellation = nullptr);

// A yes/no confirmation (CONFIRM); true only when confirmed.
Outcome confirm(const Request& request, Cancellation* cancellation = nullptr);

// The protocol's escaping of a text we send: %, CR, LF and other bytes below 0x20 as %XX.
std::string escape(std::string_view text);

}  // namespace pinentry
