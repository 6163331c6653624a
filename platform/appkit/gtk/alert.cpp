// The alert: headline and informative text, the buttons in the order given (the first one is
// the default, so Enter in the field confirms), and the masked field with the focus. Only a
// button ends it with that button's value; Escape, closing or destroying the window give 0.
#include <cmath>
#include <string>
#include <vector>

#include "platform/appkit/dialogModule.h"
#include "platform/appkit/gtk/gtkSession.h"

namespace {

constexpr long firstButton = 1000;

GtkWidget* addField(GtkWidget* dialog, const FerrowickAlertRequest& request) {
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
  gtk_entry_set_input_purpose(GTK_ENTRY(entry), GTK_INPUT_PURPOSE_PASSWORD);
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  // The size limit is the tool's, counted in bytes after the dialog; the field takes any length.
  gtk_entry_set_max_length(GTK_ENTRY(entry), 0);
  gtk_widget_set_size_request(entry, static_cast<int>(std::lround(request.fieldWidth)),
                              static_cast<int>(std::lround(request.fieldHeight)));
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
  gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 0);
  gtk_widget_show(entry);
  if (request.fieldHasInitialFocus) gtk_widget_grab_focus(entry);
  return entry;
}

GtkWidget* buildAlert(const FerrowickAlertRequest& request) {
  std::string headline = displayable(request.messageText);
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_NONE, "%s", headline.c_str());
  // The title carries the headline too: it is what a window list (and a test) shows.
  gtk_window_set_title(GTK_WINDOW(dialog), headline.c_str());
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  std::string informative = displayable(request.informativeText);
  if (!informative.empty()) {
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informative.c_str());
  }
  for (std::size_t i = 0; i < request.buttonCount; ++i) {
    // A plain label: an underscore in a title is text, not a mnemonic.
    GtkWidget* button = gtk_button_new_with_label(displayable(request.buttonTitles[i]).c_str());
    gtk_widget_set_can_default(button, TRUE);
    gtk_widget_show(button);
    gtk_dialog_add_action_widget(GTK_DIALOG(dialog), button,
                                 static_cast<gint>(firstButton + static_cast<long>(i)));
  }
  // The first button stays sensitive on an empty field: an empty confirmation must reach the
  // tool, which treats it as a cancel.
  if (request.buttonCount > 0) {
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), static_cast<gint>(firstButton));
  }
  return dialog;
}

bool isButton(gint response, const FerrowickAlertRequest& request) {
  return response >= firstButton && response < firstButton + static_cast<long>(request.buttonCount);
}

}  // namespace

FERROWICK_EXPORT long ferrowick_dialogs_run_alert_v1(const FerrowickAlertRequest* request,
                                                     FerrowickBytesSink fieldSink, void* context) {
  QuietStandardError quiet;
  if (!startGtk()) return 0;

  GtkWidget* dialog = buildAlert(*request);
  GtkWidget* entry = request->hasField ? addField(dialog, *request) : nullptr;
  // Something outside may destroy the window during the run; then the widgets are gone.
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
  if (entry != nullptr)
    g_object_add_weak_pointer(G_OBJECT(entry), reinterpret_cast<gpointer*>(&entry));
  guardAgainstTypeAhead(dialog);
  if (request->comeForward) comeForward(GTK_WINDOW(dialog));

  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  long result = isButton(response, *request) ? response : 0;

  if (entry != nullptr) {
    GtkEntryBuffer* buffer = gtk_entry_get_buffer(GTK_ENTRY(entry));
    if (result != 0) {
      fieldSink(context, gtk_entry_buffer_get_text(buffer), gtk_entry_buffer_get_bytes(buffer));
    }
    // The buffer wipes the text it deletes; nothing of the secret stays in the toolkit's copy.
    gtk_entry_buffer_delete_text(buffer, 0, -1);
    g_object_remove_weak_pointer(G_OBJECT(entry), reinterpret_cast<gpointer*>(&entry));
  } else if (request->hasField) {
    result = 0;  // the field went away with the window: there is nothing to hand over
  }
  if (dialog != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
    gtk_widget_destroy(dialog);
  }
  flushDisplay();
  return result;
}
