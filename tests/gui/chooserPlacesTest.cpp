// Which places the chooser's sidebar lists, read from the sidebar's own rows: the module runs
// its chooser in this process on a private X server, and a timer reads the rows and cancels.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/appkit/dialogModule.h"
#include "tests/gui/VirtualDisplay.h"

namespace {

struct Reading {
  std::vector<std::string> uris;
  gint64 firstSeen = 0;
  gint64 giveUpAt = 0;
};

// The first widget under `widget` (internal children included) of type `type`.
GtkWidget* findWidget(GtkWidget* widget, GType type) {
  if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return widget;
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  struct Search {
    GType type;
    GtkWidget* found;
  } search{type, nullptr};
  gtk_container_forall(
      GTK_CONTAINER(widget),
      [](GtkWidget* child, gpointer data) {
        auto* s = static_cast<Search*>(data);
        if (s->found == nullptr) s->found = findWidget(child, s->type);
      },
      &search);
  return search.found;
}

GtkWidget* shownChooser() {
  GtkWidget* chooser = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* at = toplevels; at != nullptr; at = at->next) {
    auto* window = GTK_WIDGET(at->data);
    if (GTK_IS_FILE_CHOOSER_DIALOG(window) && gtk_widget_get_mapped(window)) chooser = window;
  }
  g_list_free(toplevels);
  return chooser;
}

// The locations of the sidebar's rows; headings and separators have none.
std::vector<std::string> sidebarUris(GtkWidget* chooser) {
  std::vector<std::string> uris;
  GtkWidget* sidebar = findWidget(chooser, GTK_TYPE_PLACES_SIDEBAR);
  GtkWidget* list = sidebar != nullptr ? findWidget(sidebar, GTK_TYPE_LIST_BOX) : nullptr;
  if (list == nullptr) return uris;
  GList* rows = gtk_container_get_children(GTK_CONTAINER(list));
  for (GList* at = rows; at != nullptr; at = at->next) {
    GObject* row = G_OBJECT(at->data);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(row), "uri") == nullptr) continue;
    gchar* uri = nullptr;
    g_object_get(row, "uri", &uri, nullptr);
    if (uri != nullptr) uris.emplace_back(uri);
    g_free(uri);
  }
  g_list_free(rows);
  return uris;
}

// Polled while a chooser runs: once it has been up a moment (its places filled in), its rows
// are read and it is cancelled.
gboolean readAndCancel(gpointer data) {
  auto* reading = static_cast<Reading*>(data);
  GtkWidget* chooser = shownChooser();
  gint64 now = g_get_monotonic_time();
  if (chooser == nullptr) return now < reading->giveUpAt ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  if (reading->firstSeen == 0) reading->firstSeen = now;
  if (now - reading->firstSeen < 500 * 1000) return G_SOURCE_CONTINUE;
  reading->uris = sidebarUris(chooser);
  gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
  return G_SOURCE_REMOVE;
}

void startReading(Reading& reading) {
  reading.giveUpAt = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
  g_timeout_add(50, readAndCancel, &reading);
}

std::string uriOf(const std::string& path) {
  gchar* uri = g_filename_to_uri(std::filesystem::canonical(path).c_str(), nullptr, nullptr);
  std::string text = uri != nullptr ? uri : "";
  g_free(uri);
  return text;
}

bool lists(const std::vector<std::string>& uris, const std::string& uri) {
  return std::find(uris.begin(), uris.end(), uri) != uris.end();
}

std::string joined(const std::vector<std::string>& uris) {
  std::string text;
  for (const auto& uri : uris) text += uri + " ";
  return text;
}

TEST(ChooserPlacesTest, TheSidebarDoesNotListTheFolderTheParentRunsIn) {
  gui::VirtualDisplay display;
  ASSERT_TRUE(display.started()) << "Xvfb did not start";
  testing_support::TempDir home, runtime, elsewhere;
  setenv("DISPLAY", display.name().c_str(), 1);
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  for (const char* name : {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "GTK_USE_PORTAL",
                           "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
    unsetenv(name);
  }
  const std::filesystem::path before = std::filesystem::current_path();
  ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);

  void* module = dlopen(FERROWICK_DIALOG_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto runPanel = reinterpret_cast<FerrowickRunPanel>(dlsym(module, FERROWICK_RUN_PANEL_SYMBOL));
  ASSERT_NE(runPanel, nullptr);

  Reading ours;
  startReading(ours);
  FerrowickPanelRequest request{"选择一项", 1, 0, 0, 0};
  std::string picked;
  long confirmed = runPanel(
      &request,
      [](void* context, const char* bytes, size_t length) {
        static_cast<std::string*>(context)->assign(bytes, length);
      },
      &picked);
  EXPECT_EQ(confirmed, 0);
  EXPECT_EQ(picked, "");
  ASSERT_FALSE(ours.uris.empty()) << "no sidebar rows were read";
  EXPECT_TRUE(lists(ours.uris, uriOf(home.path()))) << joined(ours.uris);
  EXPECT_FALSE(lists(ours.uris, uriOf(elsewhere.path()))) << joined(ours.uris);

  // The control: GTK's own chooser, in the same folder, does list it.
  Reading plain;
  startReading(plain);
  GtkWidget* dialog = gtk_file_chooser_dialog_new("plain", nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                                                  "_Cancel", GTK_RESPONSE_CANCEL, nullptr);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  EXPECT_TRUE(lists(plain.uris, uriOf(elsewhere.path()))) << joined(plain.uris);

  std::filesystem::current_path(before);
}

}  // namespace
