// Placeholder until the PAM service lands: owner authentication is reported unavailable.
#include "Ferrowick/interaction/LocalAuthentication.h"

struct LAContext::Impl {};
LAContext::LAContext() : impl_(new Impl) {}
LAContext::~LAContext() = default;
void LAContext::setLocalizedCancelTitle(std::string_view) {}
bool LAContext::canEvaluatePolicy(LAPolicy, NSError*) { return false; }
void LAContext::evaluatePolicy(LAPolicy, std::string_view, Reply reply) { reply(false, nullptr); }
void LAContext::invalidate() {}
