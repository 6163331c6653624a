// The process double: standard streams captured in memory, exit turned into an exception so a
// test can run an operation to its end in-process, and predictable UUIDs.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace fake {

// Thrown by exitProcess (and so by die) in tests.
struct ProcessExit {
  int status;
};

struct Streams {
  std::string out;
  std::string err;
  int outWrites = 0;  // number of writeData calls on standard output
  int errWrites = 0;
  // A standard output that takes nothing (a closed pipe, a full disk): writes there fail.
  bool outRefuses = false;
};
Streams& streams();

// One log of what every fake was asked, in order, so tests can check the order of calls that
// cross seams (e.g. the clock read after the evaluation started).
std::vector<std::string>& events();

// UUIDs handed out by newUUIDString, in order; generated ones once the list runs out.
std::vector<std::string>& scriptedUUIDs();
int& uuidCalls();

// What one run produced.
struct Outcome {
  int status = 0;  // 0 on a normal return, else the status passed to exitProcess
  std::string out;
  std::string err;
  int outWrites = 0;
};

// Clears the streams, runs `operation` as a whole run would, and reports. With
// `outputRefused`, standard output takes nothing.
Outcome runOperation(const std::function<void()>& operation, bool outputRefused = false);

// Runs the front end on a full argument vector (program path first).
Outcome runFrontEnd(const std::vector<std::string>& argv);

}  // namespace fake
