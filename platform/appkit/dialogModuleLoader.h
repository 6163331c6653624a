// Finds and opens the GTK dialog module on first use.
#pragma once

#include "platform/appkit/dialogModule.h"

struct DialogModule {
  FerrowickRunAlert runAlert = nullptr;
  FerrowickRunPanel runPanel = nullptr;
};

// The module's entry points, or null when it can't be found or opened (the caller then treats
// the dialog as not confirmed). Opened at most once per process and never closed: GTK can't
// be unloaded safely.
const DialogModule* dialogModule();
