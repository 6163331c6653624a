#include "Ferrowick/interaction/chooser.h"

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/AppKit.h"
#include "Ferrowick/interaction/dialogActivation.h"

namespace ferrowick {

void runChooser() {
  activateForDialog();

  NSOpenPanel panel;
  panel.setMessage(name);
  panel.setCanChooseDirectories(action == "choose-directory");
  panel.setCanChooseFiles(action == "choose-file");
  panel.setAllowsMultipleSelection(false);

  if (panel.runModal() != NSModalResponseOK) die("Selection cancelled");
  std::optional<NSURL> url = panel.URL();
  if (!url) die("Selection cancelled");
  writeRawResult(url->path);
}

}  // namespace ferrowick
