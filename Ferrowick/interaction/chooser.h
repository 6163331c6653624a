#pragma once

namespace ferrowick {

// choose-file and choose-directory: an open panel with the operand as message; the picked
// item's path on standard output.
void runChooser();

}  // namespace ferrowick
