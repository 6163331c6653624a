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

gboolean onGuardedFocusIn(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<InputGuard*>(data)->openFrom = g_get_monotonic_time() + inputGuardMicroseconds;
  return FALSE;
}

bool isUserInput(GdkEventType type) {
  switch (type) {
    case GDK_KEY_PRESS:
    case GDK_KEY_RELEASE:
    case GDK_BUTTON_PRESS:
    case GDK_2BUTTON_PRESS:
    case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE:
    case GDK_TOUCH_BEGIN:
    case GDK_TOUCH_UPDATE:
    case GDK_TOUCH_END:
      return true;
    default:
      return false;
  }
}

// Runs before any widget of the window sees the event; true drops it.
gboolean onGuardedCapturedEvent(GtkWidget*, GdkEvent* event, gpointer data) {
  if (!isUserInput(event->type)) return FALSE;
  const InputGuard& guard = *static_cast<InputGuard*>(data);
  return guard.openFrom == 0 || g_get_monotonic_time() < guard.openFrom;
}

void freeGuard(gpointer data, GClosure*) {
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
  // The window holds the guard; the second handler frees it when the window goes.
  g_signal_connect(window, "focus-in-event", G_CALLBACK(onGuardedFocusIn), guard);
  g_signal_connect_data(window, "captured-event", G_CALLBACK(onGuardedCapturedEvent), guard,
                        freeGuard, GConnectFlags{});
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
