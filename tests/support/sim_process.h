// SPDX-License-Identifier: MIT
// Runs mixsim as a child process for the duration of a test.
#pragma once

#include <string>
#include <vector>

namespace mixtest {

// Starts `mixsim --bind 127.0.0.1 --quiet ARGS...` and waits until its native port accepts
// connections (at the address of a --bind among ARGS, which takes the place of 127.0.0.1); the
// destructor stops it. ok() tells whether it came up.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args = {}, bool quiet = true);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool ok() const { return pid_ > 0 && ready_; }
  int pid() const { return pid_; }
  // Stops the simulator now (SIGTERM, then SIGKILL after 2 s; on Windows its stop event, then the
  // process is ended after 2 s); returns its exit status or -1.
  int stop();

 private:
  int pid_ = -1;
  void* process_ = nullptr;  // the process handle on Windows
  bool ready_ = false;
};

// Path of the mixsim executable built with the tests ("" when it is not built).
const char* sim_executable();

// Runs argv[0] with the arguments that follow, without a shell, its standard output into *out
// (when not null) and its standard error into *err (when not null; else discarded); ends it after
// timeout_ms. Returns its exit status, or -1 when it could not be run or had to be ended.
int run_program(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr,
                int timeout_ms = 30000);

}  // namespace mixtest
