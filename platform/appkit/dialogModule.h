// The plain C boundary between the binary and the GTK dialog module (ferrowick-dialogs.so).
// The binary never links GTK: it opens the module only when a dialog is run, looks up the two
// entry points below by name, and hands them a description of the dialog. Strings are
// NUL-terminated UTF-8. The answers come back as NSModalResponse values; anything the user
// typed or picked is handed to a sink owned by the caller, which copies it before returning.
#pragma once

#include <stddef.h>

extern "C" {

// Receives bytes the dialog produced (the typed secret, the picked path). Called at most once;
// the bytes are only valid during the call.
typedef void (*FerrowickBytesSink)(void* context, const char* bytes, size_t size);

struct FerrowickAlertRequest {
  const char* messageText;
  const char* informativeText;
  const char* const* buttonTitles;  // the first answers 1000, the next 1001, ...
  size_t buttonCount;
  int hasField;  // a masked single-line field as accessory view
  double fieldWidth;
  double fieldHeight;
  int fieldHasInitialFocus;
  int comeForward;  // the application asked to be activated
};

struct FerrowickPanelRequest {
  const char* message;
  int canChooseFiles;
  int canChooseDirectories;
  int allowsMultipleSelection;
  int comeForward;
};

// Runs the alert modally. Returns the answering button's value, or 0 when the alert ended
// otherwise or could not be shown. Only when a button ended it is the field's text handed to
// `fieldSink`; the dialog's own copy is cleared before this returns.
typedef long (*FerrowickRunAlert)(const FerrowickAlertRequest* request,
                                  FerrowickBytesSink fieldSink, void* context);

// Runs the open panel modally. Returns 1 when the user confirmed, 0 otherwise. The picked
// item's local path goes to `pathSink`; a pick with no local path gives no call.
typedef long (*FerrowickRunPanel)(const FerrowickPanelRequest* request, FerrowickBytesSink pathSink,
                                  void* context);

}  // extern "C"

// The exported names of the entry points; a new layout of the requests gets new names.
#define FERROWICK_RUN_ALERT_SYMBOL "ferrowick_dialogs_run_alert_v1"
#define FERROWICK_RUN_PANEL_SYMBOL "ferrowick_dialogs_run_panel_v1"
