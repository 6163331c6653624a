#pragma once

namespace ferrowick {

// read-key: the owner's approval, then the 32 key bytes of the operand's item, raw.
void runKeyRead();

}  // namespace ferrowick
