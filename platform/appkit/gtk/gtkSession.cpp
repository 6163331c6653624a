#include "platform/appkit/gtk/gtkSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

bool sessionBusReachable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return false;
  struct stat info;
  std::string socket = std::string(runtime) + "/bus";
  return stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void prepareEnvironment() {
  // Without a session bus, GLib would start its own bus daemon (and an accessibility bus) that
  // outlive us, and the settings backend would warn on every write.
  if (!sessionBusReachable()) {
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  }
  // Outside a sandbox the portal adds nothing, and where no portal service runs the chooser
  // would end at once, looking like a cancel.
  if (access("/.flatpak-info", F_OK) != 0) unsetenv("GTK_USE_PORTAL");
}

GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

void discardPrint(const gchar*) {}

// Long enough to cover keys already on their way when focus moves, short enough not to be
// noticed by someone who reads the dialog first (browsers guard their security prompts alike).
constexpr gint64 inputGuardMicroseconds = 500 * 1000;

struct InputGuard {
  // Monotonic time from which input counts; zero until the window first gets the focus.
  gint64 openFrom = 0;
};

// Only the first focus counts: later ones come as often from the dialog's own popups (the
// chooser's completions on Wayland) or a new keyboard as from the user coming back, and
// re-arming then would drop what the user types into the dialog itself.
gboolean onGuardedFocusIn(GtkWidget*, GdkEvent*, gpointer data) {
  auto* guard = static_cast<InputGuard*>(data);
  if (guard->openFrom == 0) guard->openFrom = g_get_monotonic_time() + inputGuardMicroseconds;
  return FALSE;
}

bool guarding(gpointer data) {
  const InputGuard& guard = *static_cast<InputGuard*>(data);
  return guard.openFrom == 0 || g_get_monotonic_time() < guard.openFrom;
}

// The controllers below run in the capture phase, before any widget of the window sees the
// event; returning true (or claiming the press) drops it.
gboolean onGuardedKey(GtkEventControllerKey*, guint, guint, GdkModifierType, gpointer data) {
  return guarding(data);
}

void onGuardedPress(GtkGestureMultiPress* gesture, gint, gdouble, gdouble, gpointer data) {
  gtk_gesture_set_state(GTK_GESTURE(gesture),
                        guarding(data) ? GTK_EVENT_SEQUENCE_CLAIMED : GTK_EVENT_SEQUENCE_DENIED);
}

// The window keeps what guards it for as long as it lives.
void keepWithWindow(GtkWidget* window, const char* key, gpointer object, GDestroyNotify release) {
  g_object_set_data_full(G_OBJECT(window), key, object, release);
}

void freeGuard(gpointer data) {
  delete static_cast<InputGuard*>(data);
}

}  // namespace

bool startGtk() {
  static int started = -1;
  if (started < 0) {
    prepareEnvironment();
    g_log_set_writer_func(discardLog, nullptr, nullptr);
    g_set_print_handler(discardPrint);
    g_set_printerr_handler(discardPrint);
    // gtk_init would print and exit without a display; the check variant only answers.
    started = gtk_init_check(nullptr, nullptr) ? 1 : 0;
    if (started == 1) {
      // The chooser would otherwise record every pick (key paths included) in the user's
      // recent files, and open on that list.
      g_object_set(gtk_settings_get_default(), "gtk-recent-files-enabled", FALSE, nullptr);
    }
  }
  return started == 1;
}

std::string displayable(const char* text) {
  gchar* valid = g_utf8_make_valid(text, -1);
  std::string result(valid);
  g_free(valid);
  return result;
}

void comeForward(GtkWindow* window) {
  gtk_window_set_keep_above(window, TRUE);
  gtk_window_present_with_time(window, gtk_get_current_event_time());
}

void guardAgainstTypeAhead(GtkWidget* window) {
  auto* guard = new InputGuard;
  keepWithWindow(window, "ferrowick-input-guard", guard, freeGuard);
  g_signal_connect(window, "focus-in-event", G_CALLBACK(onGuardedFocusIn), guard);

  GtkEventController* keys = gtk_event_controller_key_new(window);
  gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
  g_signal_connect(keys, "key-pressed", G_CALLBACK(onGuardedKey), guard);
  keepWithWindow(window, "ferrowick-input-guard-keys", keys, g_object_unref);

  GtkGesture* presses = gtk_gesture_multi_press_new(window);
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(presses), 0);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(presses), GTK_PHASE_CAPTURE);
  g_signal_connect(presses, "pressed", G_CALLBACK(onGuardedPress), guard);
  keepWithWindow(window, "ferrowick-input-guard-presses", presses, g_object_unref);
}

void flushDisplay() {
  GdkDisplay* display = gdk_display_get_default();
  if (display != nullptr) gdk_display_flush(display);
}

QuietStandardError::QuietStandardError() {
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_ >= 0) dup2(null, STDERR_FILENO);
  close(null);
}

QuietStandardError::~QuietStandardError() {
  if (saved_ < 0) return;
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}
