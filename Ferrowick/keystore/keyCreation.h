#pragma once

namespace ferrowick {

// init-key and ensure-key for the operand, which has passed the item-name rule.
void runKeyCreation();

}  // namespace ferrowick
