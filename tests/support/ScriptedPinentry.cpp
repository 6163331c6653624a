#include "tests/support/ScriptedPinentry.h"
#include "tests/support/Waiting.h"

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

// Reads a JSON string starting at the opening quote; lone surrogates U+DC80..U+DCFF stand for
// the raw bytes 0x80..0xFF that were not UTF-8.
std::optional<std::string> jsonString(const std::string& s, std::size_t& i) {
  if (i >= s.size() || s[i] != '"') return std::nullopt;
  ++i;
  std::string out;
  auto appendUtf8 = [&out](unsigned long cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  auto hex4 = [&s](std::size_t at) -> std::optional<unsigned long> {
    if (at + 4 > s.size()) return std::nullopt;
    return std::strtoul(s.substr(at, 4).c_str(), nullptr, 16);
  };
  while (i < s.size()) {
    char c = s[i++];
    if (c == '"') return out;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i >= s.size()) return std::nullopt;
    char e = s[i++];
    switch (e) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        auto cp = hex4(i);
        if (!cp) return std::nullopt;
        i += 4;
        if (*cp >= 0xDC80 && *cp <= 0xDCFF) {
          out += static_cast<char>(*cp - 0xDC00);
        } else if (*cp >= 0xD800 && *cp <= 0xDBFF && i + 6 <= s.size() && s[i] == '\\' &&
                   s[i + 1] == 'u') {
          auto low = hex4(i + 2);
          if (!low) return std::nullopt;
          i += 6;
          appendUtf8(0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00));
        } else {
          appendUtf8(*cp);
        }
        break;
      }
      default:
        out += e;
        break;  // \" \\ \/
    }
  }
  return std::nullopt;
}

std::string pythonPath() {
  return SCRIPTED_PINENTRY_PYTHON;
}

std::string dirOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::optional<PinentryLogEntry> parsePinentryLogLine(const std::string& line) {
  PinentryLogEntry entry{0, "", ""};
  std::size_t i = 0;
  auto skipSpace = [&] {
    while (i < line.size() && (line[i] == ' ' || line[i] == ',' || line[i] == ':')) ++i;
  };
  if (line.empty() || line[0] != '{') return std::nullopt;
  ++i;
  while (true) {
    skipSpace();
    if (i < line.size() && line[i] == '}') return entry;
    auto key = jsonString(line, i);
    if (!key) return std::nullopt;
    skipSpace();
    if (*key == "run") {
      std::size_t used = 0;
      entry.run = std::stoi(line.substr(i), &used);
      i += used;
    } else {
      auto value = jsonString(line, i);
      if (!value) return std::nullopt;
      if (*key == "command") entry.command = *value;
      if (*key == "text") entry.text = *value;
    }
  }
}

ScriptedPinentry::ScriptedPinentry() {
  mkdir(dir_.file("bin").c_str(), 0700);
  mkdir(dir_.file("state").c_str(), 0700);
  // Our own interpreter line: isolated from the caller's Python settings, and no site
  // packages to load, so a prompt starts fast.
  std::string program = "#!" + pythonPath() + " -IS\nBAKED_STATE = \"" + stateDir() + "\"\n" +
                        readFile(SCRIPTED_PINENTRY_SCRIPT);
  writeFile(binDir() + "/pinentry", program, 0700);
  script({});
}

void ScriptedPinentry::script(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  writeFile(stateDir() + "/script", text);
  writeFile(stateDir() + "/cursor", "0");
}

void ScriptedPinentry::repeat(Repeat flavour) {
  writeFile(stateDir() + "/flavour", flavour == Repeat::asksOnce ? "asks-once\n" : "\n");
}

std::vector<PinentryLogEntry> ScriptedPinentry::log() const {
  std::vector<PinentryLogEntry> entries;
  std::istringstream in(readFile(stateDir() + "/log"));
  std::string line;
  while (std::getline(in, line)) {
    auto entry = parsePinentryLogLine(line);
    if (!entry) throw std::runtime_error("malformed scripted pinentry log line");
    entries.push_back(*entry);
  }
  return entries;
}

std::vector<std::string> ScriptedPinentry::texts(const std::string& command) const {
  std::vector<std::string> result;
  for (const auto& entry : log()) {
    if (entry.command == command) result.push_back(entry.text);
  }
  return result;
}

int ScriptedPinentry::runs() const {
  std::string text = readFile(stateDir() + "/runs");
  return text.empty() ? 0 : std::stoi(text);
}

int ScriptedPinentry::lastPid() const {
  std::string text = readFile(stateDir() + "/pid");
  return text.empty() ? 0 : std::stoi(text);
}

std::vector<int> ScriptedPinentry::pids() const {
  std::vector<int> result;
  std::istringstream in(readFile(stateDir() + "/pids"));
  int pid = 0;
  while (in >> pid) result.push_back(pid);
  return result;
}

std::vector<std::string> ScriptedPinentry::environmentNames() const {
  std::vector<std::string> result;
  std::istringstream in(readFile(stateDir() + "/environ"));
  std::string name;
  while (std::getline(in, name)) result.push_back(name);
  return result;
}

std::vector<int> ScriptedPinentry::openDescriptors() const {
  std::vector<int> result;
  std::istringstream in(readFile(stateDir() + "/fds"));
  int fd = 0;
  while (in >> fd) result.push_back(fd);
  return result;
}

std::string ScriptedPinentry::binDir() const {
  return dir_.file("bin");
}

std::string ScriptedPinentry::stateDir() const {
  return dir_.file("state");
}

std::map<std::string, std::optional<std::string>> ScriptedPinentry::environment() const {
  return {{"PATH", binDir() + ":" + dirOf(pythonPath())}, {"SCRIPTED_PINENTRY_DIR", stateDir()}};
}

bool ScriptedPinentry::waitForCommand(const std::string& command,
                                      std::chrono::milliseconds limit) const {
  return waitFor([&] { return !texts(command).empty(); }, limit, std::chrono::milliseconds(5));
}

InProcessPinentry::InProcessPinentry() {
  if (const char* path = std::getenv("PATH")) savedPath_ = path;
  applyToThisProcess();
}

InProcessPinentry::~InProcessPinentry() {
  if (savedPath_) {
    setenv("PATH", savedPath_->c_str(), 1);
  } else {
    unsetenv("PATH");
  }
}

void ScriptedPinentry::applyToThisProcess() const {
  for (const auto& [key, value] : environment()) {
    if (value) {
      setenv(key.c_str(), value->c_str(), 1);
    } else {
      unsetenv(key.c_str());
    }
  }
}

}  // namespace testing_support
