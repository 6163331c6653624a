#include "tests/fakes/FakeFoundation.h"

#include <cstdio>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"

namespace fake {

Streams& streams() {
  static Streams instance;
  return instance;
}

std::vector<std::string>& events() {
  static std::vector<std::string> instance;
  return instance;
}

std::vector<std::string>& scriptedUUIDs() {
  static std::vector<std::string> instance;
  return instance;
}

int& uuidCalls() {
  static int calls = 0;
  return calls;
}

Outcome runOperation(const std::function<void()>& operation, bool outputRefused) {
  streams() = {};
  streams().outRefuses = outputRefused;
  Outcome outcome;
  try {
    operation();
  } catch (const ProcessExit& exit) {
    outcome.status = exit.status;
  }
  outcome.out = streams().out;
  outcome.err = streams().err;
  outcome.outWrites = streams().outWrites;
  return outcome;
}

Outcome runFrontEnd(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  std::vector<std::string> copies = argv;
  for (auto& text : copies) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return runOperation(
      [&] { ferrowick::runFrontEnd(static_cast<int>(copies.size()), pointers.data()); });
}

}  // namespace fake

NSFileHandle NSFileHandle::fileHandleWithStandardOutput() {
  return NSFileHandle(1);
}
NSFileHandle NSFileHandle::fileHandleWithStandardError() {
  return NSFileHandle(2);
}

bool NSFileHandle::writeData(std::string_view bytes) const {
  fake::Streams& streams = fake::streams();
  if (fd_ == 1) {
    ++streams.outWrites;
    if (streams.outRefuses) return false;
    streams.out.append(bytes);
  } else {
    streams.err.append(bytes);
    ++streams.errWrites;
  }
  return true;
}

void exitProcess(int status) {
  throw fake::ProcessExit{status};
}

std::string newUUIDString() {
  int index = fake::uuidCalls()++;
  auto& script = fake::scriptedUUIDs();
  if (index < static_cast<int>(script.size())) return script[static_cast<std::size_t>(index)];
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012X", index + 1);
  return text;
}

bool hardenProcess() {
  return true;
}
