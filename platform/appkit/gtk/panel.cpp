// The open panel: the toolkit's file chooser, for one file or one folder. The message is the
// chooser's title and, where the chooser is the toolkit's own dialog, a line above its buttons.
// Only the accept button (or Enter on a pick) confirms.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/appkit/dialogModule.h"
#include "platform/appkit/gtk/gtkSession.h"

namespace {

struct Decoration {
  std::string message;
  bool comeForward = false;
  bool done = false;
};

// Room left around the chooser for a window manager's title bar and frame.
constexpr int frameAllowance = 48;

// GTK's default chooser size (about 1096x822) doesn't fit a 1280x800 screen, which puts its
// buttons below the edge: on a smaller work area the chooser is kept inside it.
void fitToWorkArea(GtkWindow* window) {
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
  if (monitor == nullptr) return;
  GdkRectangle area;
  gdk_monitor_get_workarea(monitor, &area);
  GdkGeometry limits{};
  limits.max_width = std::max(area.width - frameAllowance, 1);
  limits.max_height = std::max(area.height - frameAllowance, 1);
  gtk_window_set_geometry_hints(window, nullptr, &limits, GDK_HINT_MAX_SIZE);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
}

// The chooser lists the process's working folder among its places; that is wherever the parent
// happened to start us, which is none of the chooser's business.
void forgetWorkingFolder(GtkFileChooser* chooser) {
  gchar* working = g_get_current_dir();
  gchar* home = g_canonicalize_filename(g_get_home_dir(), nullptr);
  if (std::strcmp(working, home) != 0) {
    gtk_file_chooser_remove_shortcut_folder(chooser, working, nullptr);
  }
  g_free(home);
  g_free(working);
}

void onMapped(GtkWidget* widget, gpointer) {
  comeForward(GTK_WINDOW(widget));
}

// The native chooser builds its dialog inside the run; it is decorated as it is shown.
gboolean onWidgetShown(GSignalInvocationHint*, guint, const GValue* values, gpointer data) {
  auto* decoration = static_cast<Decoration*>(data);
  GObject* shown = G_OBJECT(g_value_get_object(&values[0]));
  if (decoration->done || !GTK_IS_FILE_CHOOSER_DIALOG(shown)) return TRUE;
  decoration->done = true;
  fitToWorkArea(GTK_WINDOW(shown));
  forgetWorkingFolder(GTK_FILE_CHOOSER(shown));
  guardAgainstTypeAhead(GTK_WIDGET(shown));
  if (!decoration->message.empty()) {
    GtkWidget* label = gtk_label_new(decoration->message.c_str());
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_widget_show(label);
    gtk_file_chooser_set_extra_widget(GTK_FILE_CHOOSER(shown), label);
  }
  if (decoration->comeForward) {
    gtk_window_set_keep_above(GTK_WINDOW(shown), TRUE);
    g_signal_connect(shown, "map", G_CALLBACK(onMapped), nullptr);
  }
  return TRUE;
}

}  // namespace

FERROWICK_EXPORT long ferrowick_dialogs_run_panel_v1(const FerrowickPanelRequest* request,
                                                     FerrowickBytesSink pathSink, void* context) {
  QuietStandardError quiet;
  if (!request->canChooseFiles && !request->canChooseDirectories) return 0;
  if (!startGtk()) return 0;

  GtkFileChooserAction action = request->canChooseFiles ? GTK_FILE_CHOOSER_ACTION_OPEN
                                                        : GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
  Decoration decoration{displayable(request->message), request->comeForward != 0, false};
  GtkFileChooserNative* native =
      gtk_file_chooser_native_new(decoration.message.c_str(), nullptr, action, nullptr, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(native);
  gtk_file_chooser_set_select_multiple(chooser, request->allowsMultipleSelection != 0);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  // A neutral starting place: not the recent list, and not wherever the parent happens to run.
  gtk_file_chooser_set_current_folder(chooser, g_get_home_dir());
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(native), TRUE);

  guint shown = g_signal_lookup("show", GTK_TYPE_WIDGET);
  gulong hook = g_signal_add_emission_hook(shown, 0, onWidgetShown, &decoration, nullptr);
  gint response = gtk_native_dialog_run(GTK_NATIVE_DIALOG(native));
  g_signal_remove_emission_hook(shown, hook);

  long result = 0;
  if (response == GTK_RESPONSE_ACCEPT) {
    result = 1;
    GFile* file = gtk_file_chooser_get_file(chooser);
    gchar* path = file != nullptr ? g_file_get_path(file) : nullptr;
    // A pick with no local path (a remote location) hands nothing over.
    if (path != nullptr) pathSink(context, path, std::char_traits<char>::length(path));
    g_free(path);
    if (file != nullptr) g_object_unref(file);
  }
  gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(native));
  g_object_unref(native);
  flushDisplay();
  return result;
}
