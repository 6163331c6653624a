#pragma once

namespace ferrowick {

// Brings the process forward, in front of its parent, before a dialog is shown.
void activateForDialog();

}  // namespace ferrowick
