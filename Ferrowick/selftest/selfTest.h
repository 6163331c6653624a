#pragma once

namespace ferrowick {

// self-test: proves in a throw-away keychain in the operand's folder that a protected item
// cannot be read while user interaction is disallowed.
void runSelfTest();

}  // namespace ferrowick
