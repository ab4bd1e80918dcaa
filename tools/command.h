// SPDX-License-Identifier: MIT
// The mixlink tool's commands: what each one declares about itself (its name, its help, its
// options and its operands) and what main hands it once the command line has been read.
// Each command lives in a file of its own and is listed once, in main.cpp's table.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mixtool {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;

// One option of a command: its name ("--count") and the placeholder of its value ("N"), or null
// for an option that takes none.
struct Option {
  const char* name;
  const char* value;
};

// What a command's operands are called and how many it takes.
struct Operands {
  const char* name = nullptr;  // "PATH"; null when it takes none
  int min = 0;
  int max = 0;  // -1: any number
};

struct Invocation;

struct Command {
  const char* name;
  const char* summary;  // its line in the command list ("\n" goes on in the summary column)
  const char* help;     // what `mixlink NAME --help` prints
  std::span<const Option> options = {};
  Operands operands = {};
  int (*run)(const Invocation&);
  // Runs until interrupted: a reader that goes away (a closed pipe) ends it with success.
  bool endless = false;
};

// The commands in the order the list shows them.
std::span<const Command* const> commands();

// A command's command line, read and checked against its options and operand counts.
struct Invocation {
  const Command* command = nullptr;
  std::string address;  // -a: the console's address; empty to discover one
  long timeout_ms = 5000;
  std::vector<std::string> operands;
  std::vector<std::pair<std::string, std::string>> options;  // given as NAME and VALUE ("" for none)

  // When the command started: --timeout bounds the whole of it.
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

  // The microseconds of --timeout still left (at least 1, since 0 would wait without limit).
  int timeout_us() const {
    const auto spent = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    const long long left = timeout_ms * 1000LL - spent.count();
    return left > 1 ? static_cast<int>(left) : 1;
  }
  // Returns whether the option was given.
  bool has(std::string_view name) const;
  // Returns the value of the option's last use, or an empty text when it was not given.
  std::string value(std::string_view name) const;
};

// Says "mixlink: MESSAGE" and where the help is on one line of standard error; returns
// kExitUsage.
int usage_error(const Invocation& call, const std::string& message);

// Reads the whole of text as a whole number from low to high into *out; false (nothing stored)
// for anything else: a sign, a space, a fraction or a number out of range.
bool whole_number(std::string_view text, long low, long high, long* out);

// Reads the value of option name as a whole number from low to high into *out when it was
// given; returns kExitOk, or the usage error that names the range.
int number_option(const Invocation& call, const char* name, long low, long high, long* out);

}  // namespace mixtool
