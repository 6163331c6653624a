#include "tests/support/TerminalPane.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace testing_support {
namespace {

using namespace std::chrono_literals;

// The screen's lines joined, each without the margin and box border around it: the prompts
// break long texts (a path) into lines, which the screen shows one under the other.
std::string joinedLines(const std::string& screen) {
  const std::string border = "│";
  auto trim = [&](std::string_view line) {
    while (true) {
      std::size_t before = line.size();
      while (!line.empty() && (line.front() == ' ' || line.front() == '|')) line.remove_prefix(1);
      while (!line.empty() && (line.back() == ' ' || line.back() == '|')) line.remove_suffix(1);
      if (line.starts_with(border)) line.remove_prefix(border.size());
      if (line.ends_with(border)) line.remove_suffix(border.size());
      if (line.size() == before) return line;
    }
  };
  std::string joined;
  std::istringstream lines(screen);
  for (std::string line; std::getline(lines, line);) joined += trim(line);
  return joined;
}

}  // namespace

int occurrences(const std::string& screen, const std::string& text) {
  int found = 0;
  for (auto at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1)) {
    ++found;
  }
  return found;
}

TerminalPane::TerminalPane(const std::string& pinentry, const PamEnvironment& pam) {
  mkdir(dir_.file("bin").c_str(), 0700);
  if (symlink(pinentry.c_str(), dir_.file("bin/pinentry").c_str()) != 0) {
    throw std::runtime_error("cannot link " + pinentry);
  }
  mkdir(dir_.file("home").c_str(), 0700);
  for (const auto& [key, value] : pam.environment()) {
    if (value) environment_.push_back("export " + key + "='" + *value + "'\n");
  }
}

TerminalPane::~TerminalPane() {
  for (; runs_ > 0; --runs_) tmux({"kill-server"});
}

void TerminalPane::start(const std::string& operation, const std::string& operand) {
  std::string script = "#!/bin/sh\n";
  for (const auto& line : environment_) script += line;
  script += "export PATH='" + dir_.file("bin") + "' HOME='" + dir_.file("home") +
            "' XDG_DATA_HOME='" + dir_.file("home/data") + "' LC_ALL=C.UTF-8\nunset DISPLAY\n";
  script += "echo $$ >'" + dir_.file("shell") + "'\n'" + ferrowickPath() + "' " + operation + " '" +
            operand + "' >'" + dir_.file("out") + "' 2>'" + dir_.file("err") + "'\necho $? >'" +
            dir_.file("status.tmp") + "'\n/bin/stty -a >'" + dir_.file("stty") + "'\n/bin/mv '" +
            dir_.file("status.tmp") + "' '" + dir_.file("status") + "'\nsleep 60\n";
  writeFile(dir_.file("run.sh"), script, 0700);
  unlink(dir_.file("status").c_str());
  unlink(dir_.file("shell").c_str());
  ++runs_;
  RunResult started = tmux({"new-session", "-d", "-x", "120", "-y", "40", dir_.file("run.sh")});
  if (started.status != 0) throw std::runtime_error("tmux new-session: " + started.err);
}

RunResult TerminalPane::tmux(std::vector<std::string> arguments) const {
  arguments.insert(arguments.begin(),
                   {"-u", "-S", dir_.file("tmux-" + std::to_string(runs_) + ".socket")});
  RunOptions options;
  options.environment["LC_ALL"] = "C.UTF-8";
  options.timeout = 20s;
  return run("/usr/bin/tmux", arguments, options);
}

std::string TerminalPane::screen() const {
  return tmux({"capture-pane", "-p"}).out;
}

bool TerminalPane::shows(const std::string& text, int times) const {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string now = screen();
    if (std::max(occurrences(now, text), occurrences(joinedLines(now), text)) >= times) {
      // Settled: pinentry-tty discards input typed before it switches the terminal over.
      std::this_thread::sleep_for(200ms);
      if (screen() == now) return true;
      continue;
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

void TerminalPane::type(const std::string& text) {
  writeFile(dir_.file("typed"), text, 0600);
  RunResult loaded = tmux({"load-buffer", "-b", "typed", dir_.file("typed")});
  unlink(dir_.file("typed").c_str());
  if (loaded.status != 0) throw std::runtime_error("tmux load-buffer: " + loaded.err);
  RunResult pasted = tmux({"paste-buffer", "-d", "-b", "typed"});
  if (pasted.status != 0) throw std::runtime_error("tmux paste-buffer: " + pasted.err);
}

void TerminalPane::keys(std::vector<std::string> names) {
  names.insert(names.begin(), "send-keys");
  RunResult sent = tmux(names);
  if (sent.status != 0) throw std::runtime_error("tmux send-keys: " + sent.err);
}

void TerminalPane::typeLine(const std::string& text) {
  type(text);
  keys({"Enter"});
}

int TerminalPane::finished(std::chrono::seconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string status = readFile(dir_.file("status"));
    if (!status.empty()) return std::stoi(status);
    std::this_thread::sleep_for(50ms);
  }
  return -1;
}

bool TerminalPane::ended() const {
  return !readFile(dir_.file("status")).empty();
}

std::string TerminalPane::out() const {
  return readFile(dir_.file("out"));
}

std::string TerminalPane::err() const {
  return withoutPamWrapperLines(readFile(dir_.file("err")));
}

std::string TerminalPane::modes() const {
  return readFile(dir_.file("stty"));
}

int TerminalPane::runPid() const {
  const std::string shell = readFile(dir_.file("shell"));
  if (shell.empty()) return -1;
  const int pid = std::stoi(shell);
  std::string children =
      readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  return children.empty() ? -1 : std::stoi(children);
}

std::string TerminalPane::homeFile(const std::string& relative) const {
  return dir_.file("home/" + relative);
}

}  // namespace testing_support
