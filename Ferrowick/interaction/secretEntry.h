#pragma once

namespace ferrowick {

// input-secret: a masked dialog for the secret labelled by the operand; the typed text on
// standard output.
void runSecretEntry();

}  // namespace ferrowick
