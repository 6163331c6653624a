// What the two dialogs of the module share: starting GTK once, quietly, and bringing a
// window forward.
#pragma once

#include <gtk/gtk.h>

#include <string>

#define FERROWICK_EXPORT extern "C" __attribute__((visibility("default")))

// Initialises GTK on first use; false when there is no display to show a dialog on.
bool startGtk();

// Text the toolkit can draw: invalid UTF-8 sequences become replacement characters. The
// operand arrives as raw argument bytes and is shown, not interpreted.
std::string displayable(const char* text);

// Keeps the window above the others while it is up and raises it with the current event time,
// so a window manager lets it in front of the parent that started us.
void comeForward(GtkWindow* window);

// Makes the window ignore keys, clicks and touches until it has had the focus for a short while:
// what was typed ahead for another window when this one came forward must not fill in or
// confirm it. Input that arrives during the guard is dropped, not delayed.
void guardAgainstTypeAhead(GtkWidget* window);

// Sends what is queued for the display (a destroyed dialog's unmapping) without running a loop.
void flushDisplay();

// Keeps the toolkit's and its libraries' chatter off standard error while it lives: the parent
// reads our standard error as the one failure message.
class QuietStandardError {
 public:
  QuietStandardError();
  ~QuietStandardError();
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_ = -1;
};
