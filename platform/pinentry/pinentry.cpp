// Placeholder until the pinentry client lands: no prompt can be shown.
#include "platform/pinentry/Pinentry.h"

namespace pinentry {

struct Cancellation::State {};
Cancellation::Cancellation() : state(std::make_shared<State>()) {}
Cancellation::~Cancellation() = default;
void Cancellation::stop() {}

bool available() { return false; }
Result getPin(const Request&, Cancellation*) { return {}; }
Outcome confirm(const Request&, Cancellation*) { return Outcome::unavailable; }
std::string escape(std::string_view text) { return std::string(text); }

}  // namespace pinentry
