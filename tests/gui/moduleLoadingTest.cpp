// Which runs load the GTK dialog module, and with it the GUI libraries, and where the binary
// looks for it. The dynamic loader's own trace (LD_DEBUG=libs, written to files so standard
// error stays the tool's) tells what was opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::TempDir;

const char* const guiLibraries[] = {"libgtk", "libgdk",     "libglib",          "libgobject",
                                    "libgio", "libcairo",   "libpango",         "libatk",
                                    "libX11", "libwayland", "ferrowick-dialogs"};

struct TracedRun {
  RunResult result;
  std::vector<std::string> guiLibrariesOpened;
};

TracedRun runTraced(const std::string& program, const std::vector<std::string>& arguments,
                    RunOptions options) {
  TempDir logs;
  options.environment["LD_DEBUG"] = "libs";
  options.environment["LD_DEBUG_OUTPUT"] = logs.file("loader");
  options.timeout = std::chrono::seconds(30);
  TracedRun traced{testing_support::run(program, arguments, options), {}};
  std::string trace;
  for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
    trace += testing_support::readFile(entry.path().string());
  }
  for (const char* library : guiLibraries) {
    if (trace.find(library) != std::string::npos) traced.guiLibrariesOpened.push_back(library);
  }
  return traced;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += name + " ";
  return text;
}

RunOptions withoutDisplay(const TempDir& home) {
  RunOptions options;
  options.environment = {
      {"HOME", home.path()}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  return options;
}

TEST(ModuleLoadingTest, OnlyTheDialogOperationsOpenTheGuiLibraries) {
  TempDir home;
  TempDir fixtureFolder;
  struct Case {
    std::vector<std::string> arguments;
    bool opensGui;
  };
  const Case cases[] = {
      {{"ensure-key", "gui-probe"}, false},
      {{"self-test", fixtureFolder.path()}, false},
      // The control: the same trace does see the module when a dialog is asked for.
      {{"input-secret", "x"}, true},
  };
  for (const Case& c : cases) {
    RunOptions options = withoutDisplay(home);
    // A display that exists is not needed to prove the point: nothing may even try.
    options.environment["DISPLAY"] = ":4242";
    TracedRun traced = runTraced(testing_support::ferrowickPath(), c.arguments, options);
    if (c.opensGui) {
      EXPECT_NE(joined(traced.guiLibrariesOpened).find("ferrowick-dialogs"), std::string::npos)
          << c.arguments[0];
      EXPECT_NE(joined(traced.guiLibrariesOpened).find("libgtk"), std::string::npos)
          << c.arguments[0];
    } else {
      EXPECT_EQ(joined(traced.guiLibrariesOpened), "") << c.arguments[0];
    }
  }
}

TEST(ModuleLoadingTest, WithoutAUsableDisplayADialogEndsAsACancelAndSaysNothingElse) {
  TempDir home;
  struct Display {
    const char* label;
    std::optional<std::string> x11;
    std::optional<std::string> wayland;
  };
  const Display displays[] = {
      {"no display at all", std::nullopt, std::nullopt},
      {"an X display nobody serves", ":4242", std::nullopt},
      {"a Wayland display nobody serves", std::nullopt, "ferrowick-no-such-wayland"},
  };
  struct Operation {
    const char* word;
    const char* message;
  };
  const Operation operations[] = {{"input-secret", "Credential input cancelled\n"},
                                  {"choose-file", "Selection cancelled\n"},
                                  {"choose-directory", "Selection cancelled\n"}};
  for (const Display& display : displays) {
    for (const Operation& operation : operations) {
      RunOptions options = withoutDisplay(home);
      options.environment["DISPLAY"] = display.x11;
      options.environment["WAYLAND_DISPLAY"] = display.wayland;
      options.environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
      RunResult result = testing_support::runFerrowick({operation.word, "x"}, options);
      EXPECT_EQ(result.status, 1) << display.label << ", " << operation.word;
      EXPECT_EQ(result.out, "") << display.label << ", " << operation.word;
      EXPECT_EQ(result.err, operation.message) << display.label << ", " << operation.word;
    }
  }
}

TEST(ModuleLoadingTest, ModuleIsTakenOnlyFromBesideTheExecutableAndOnlyIfNobodyElseCanWriteIt) {
  if (std::filesystem::exists(FERROWICK_INSTALLED_MODULE)) {
    GTEST_SKIP() << "an installed module would be found as the fallback";
  }
  namespace fs = std::filesystem;
  struct Case {
    const char* label;
    bool besideBinary;
    mode_t moduleMode;
    mode_t folderMode;
    uid_t folderOwner;
    bool loaded;
  };
  const uid_t me = geteuid();
  // Someone who is neither root nor us (nobody, on Debian).
  const uid_t stranger = me == 65534 ? 65533 : 65534;
  const Case cases[] = {
      {"beside the executable", true, 0755, 0755, me, true},
      {"beside it but writable by others", true, 0757, 0755, me, false},
      {"beside it but writable by its group", true, 0775, 0755, me, false},
      {"in a folder its group can write", true, 0755, 0775, me, false},
      {"in a folder someone else owns", true, 0755, 0755, stranger, false},
      {"only on LD_LIBRARY_PATH and in the working directory", false, 0755, 0755, me, false},
  };
  for (const Case& c : cases) {
    TempDir root;
    fs::create_directory(root.file("bin"));
    fs::create_directory(root.file("lib"));
    std::string binary = root.file("bin/Ferrowick");
    fs::copy_file(testing_support::ferrowickPath(), binary);
    chmod(binary.c_str(), 0755);
    std::string module = root.file(c.besideBinary ? "bin" : "lib") + "/" +
                         fs::path(FERROWICK_DIALOG_MODULE).filename().string();
    fs::copy_file(FERROWICK_DIALOG_MODULE, module);
    chmod(module.c_str(), c.moduleMode);
    if (c.folderOwner != me && chown(root.file("bin").c_str(), c.folderOwner, -1) != 0) {
      GTEST_SKIP() << "can't hand a folder to another user here";
    }
    chmod(root.file("bin").c_str(), c.folderMode);

    TempDir home;
    RunOptions options = withoutDisplay(home);
    options.environment["LD_LIBRARY_PATH"] = root.file("lib");
    options.workingDirectory = root.file("lib");
    TracedRun traced = runTraced(binary, {"input-secret", "x"}, options);
    bool loaded = joined(traced.guiLibrariesOpened).find("ferrowick-dialogs") != std::string::npos;
    EXPECT_EQ(loaded, c.loaded) << c.label;
    // Found or not, the tool's one line is all there is on standard error.
    EXPECT_EQ(traced.result.err, "Credential input cancelled\n") << c.label;
    EXPECT_EQ(traced.result.out, "") << c.label;
    EXPECT_EQ(traced.result.status, 1) << c.label;
  }
}

TEST(ModuleLoadingTest, WithoutTheModuleTheDialogsEndAsCancelled) {
  if (std::filesystem::exists(FERROWICK_INSTALLED_MODULE)) {
    GTEST_SKIP() << "an installed module would be found as the fallback";
  }
  // An install without the dialogs package: the binary alone in its bin folder.
  TempDir root;
  std::filesystem::create_directory(root.file("bin"));
  const std::string binary = root.file("bin/Ferrowick");
  std::filesystem::copy_file(testing_support::ferrowickPath(), binary);
  chmod(binary.c_str(), 0755);
  const std::pair<const char*, const char*> operations[] = {
      {"input-secret", "Credential input cancelled\n"},
      {"choose-file", "Selection cancelled\n"},
      {"choose-directory", "Selection cancelled\n"}};
  for (const auto& [word, message] : operations) {
    TempDir home;
    RunOptions options = withoutDisplay(home);
    options.environment["DISPLAY"] = ":4242";
    TracedRun traced = runTraced(binary, {word, "x"}, options);
    EXPECT_EQ(traced.result.status, 1) << word;
    EXPECT_EQ(traced.result.err, message) << word;
    EXPECT_EQ(traced.result.out, "") << word;
    EXPECT_EQ(joined(traced.guiLibrariesOpened), "") << word;
  }
}

}  // namespace
