// SPDX-License-Identifier: MIT
// mixlink: the library's operations from the shell. Output goes to stdout, one record a line,
// with whatever the console sent escaped (output.h); errors go to stderr; exit status 0 success,
// 1 failure, 2 usage. --timeout bounds the waits for the console, connecting included.
//
// This file reads the command line and runs one of the commands in the table below; each command
// is a file of its own (command.h).
#include <mixlink/version.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "command.h"
#include "console.h"

namespace mixtool {

extern const Command kDiscover, kGet, kDump, kDef, kRaw, kEvents, kMeters, kNodes;
#ifdef MIXLINK_HAVE_SERVE
extern const Command kServe;  // a build without civetweb (the Windows one) has no web view
#endif

std::span<const Command* const> commands() {
  static const Command* const kCommands[] = {&kDiscover, &kGet, &kDump, &kDef, &kRaw, &kEvents, &kMeters, &kNodes,
#ifdef MIXLINK_HAVE_SERVE
                                             &kServe,
#endif
  };
  return kCommands;
}

bool Invocation::has(std::string_view name) const {
  for (const auto& [given, value] : options)
    if (given == name) return true;
  return false;
}

std::string Invocation::value(std::string_view name) const {
  std::string last;
  for (const auto& [given, value] : options)
    if (given == name) last = value;
  return last;
}

int usage_error(const Invocation& call, const std::string& message) {
  const std::string help = call.command ? std::string("mixlink ") + call.command->name + " --help" : "mixlink --help";
  std::fprintf(stderr, "mixlink: %s (try '%s')\n", message.c_str(), help.c_str());
  return kExitUsage;
}

bool whole_number(std::string_view text, long low, long high, long* out) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < low || v > high) return false;
  *out = v;
  return true;
}

int number_option(const Invocation& call, const char* name, long low, long high, long* out) {
  if (!call.has(name)) return kExitOk;
  const std::string text = call.value(name);
  if (whole_number(text, low, high, out)) return kExitOk;
  return usage_error(call, std::string(name) + " takes a whole number from " + std::to_string(low) + " to " +
                               std::to_string(high) + ", not '" + text + "'");
}

namespace {

const char* const kVersion = "mixlink " MIXLINK_VERSION "\n";

const char* const kUsageHead =
    "usage: mixlink [-a ADDRESS] [--timeout MS] COMMAND [ARGS]\n"
    "\n"
    "Commands:\n";

const char* const kUsageTail =
    "\n"
    "Without -a the console is found by a broadcast on the local network.\n"
    "--timeout MS bounds the command's waits for the console, connecting included (default 5000 ms).\n"
    "Options take their value as the next argument or after '=' (--timeout=2000).\n"
    "Bytes the console sends in texts are shown escaped: \\xNN for control bytes and\n"
    "bytes that are not UTF-8, \\\\ for a backslash.\n"
    "Run 'mixlink COMMAND --help' for a command's options, 'mixlink --version' for the version.\n";

constexpr size_t kSummaryColumn = 25;

// The command list of `mixlink --help`: each command with its operands, then its summary.
std::string usage_text() {
  std::string text = kUsageHead;
  for (const Command* c : commands()) {
    std::string synopsis = c->name;
    if (c->operands.name != nullptr) {
      const std::string operand = c->operands.name;
      synopsis += c->operands.min == 0 ? " [" + operand + "]" : " " + operand;
      if (c->operands.max < 0) synopsis += "...";
    }
    text += "  " + synopsis;
    text += std::string(synopsis.size() + 2 < kSummaryColumn ? kSummaryColumn - 2 - synopsis.size() : 1, ' ');
    for (const char* s = c->summary; *s != '\0'; ++s) {
      text += *s;
      if (*s == '\n') text += std::string(kSummaryColumn, ' ');
    }
    text += '\n';
  }
  return text + kUsageTail;
}

const Command* find_command(std::string_view name) {
  for (const Command* c : commands())
    if (name == c->name) return c;
  return nullptr;
}

const Option* find_option(const Command* command, std::string_view name) {
  if (command == nullptr) return nullptr;
  for (const Option& o : command->options)
    if (name == o.name) return &o;
  return nullptr;
}

// What the command line asks for.
struct CommandLine {
  Invocation call;
  bool help = false, version = false;
  bool unknown_command = false;
  std::string error;  // the first thing wrong with it
};

// Reads argv: -a, --timeout, --help and --version anywhere; the first operand names the command,
// whose own options may follow it; options take their value as the next argument or after "=".
CommandLine read_command_line(int argc, char** argv) {
  CommandLine line;
  Invocation& call = line.call;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    // After the first fault only --help and --version still count.
    if (!line.error.empty()) continue;
    if (arg.size() < 2 || arg[0] != '-') {
      if (call.command != nullptr) {
        call.operands.emplace_back(arg);
      } else if ((call.command = find_command(arg)) == nullptr) {
        line.error = "unknown command " + std::string(arg);
        line.unknown_command = true;
      }
      continue;
    }
    const size_t eq = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
    const std::string name(arg.substr(0, eq));
    const char* placeholder = nullptr;
    if (name == "-a" || name == "--address") {
      placeholder = "an ADDRESS";
    } else if (name == "--timeout") {
      placeholder = "MS";
    } else if (const Option* o = find_option(call.command, name)) {
      placeholder = o->value;
    } else {
      line.error = "unknown option " + name;
      continue;
    }
    std::string value;
    if (placeholder == nullptr) {
      if (eq != std::string_view::npos) line.error = name + " takes no value";
    } else if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    if (placeholder != nullptr && value.empty()) line.error = name + " needs " + placeholder;
    if (!line.error.empty()) continue;
    if (name == "-a" || name == "--address") {
      call.address = value;
    } else if (name == "--timeout") {
      if (!whole_number(value, 1, 2000000, &call.timeout_ms))
        line.error = "--timeout takes a whole number of milliseconds from 1 to 2000000, not '" + value + "'";
    } else {
      call.options.emplace_back(name, value);
    }
  }
  if (!line.error.empty() || call.command == nullptr) return line;
  const Command& c = *call.command;
  const int n = static_cast<int>(call.operands.size());
  const Operands& want = c.operands;
  if (n < want.min)
    line.error = std::string("no ") + want.name + " given";
  else if (want.max >= 0 && n > want.max)
    line.error = want.max == 0 ? "unexpected argument " + call.operands[want.max]
                               : std::string("one ") + want.name + " only";
  return line;
}

// What is printed in place of a command: 0, or 1 when it did not reach standard output.
int print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return output_flow() == Flow::open ? kExitOk : kExitFail;
}

}  // namespace

}  // namespace mixtool

int main(int argc, char** argv) {
  using namespace mixtool;
  catch_signals();
  const CommandLine line = read_command_line(argc, argv);
  const Invocation& call = line.call;
  if (line.version) return print(kVersion);
  if (line.help && !line.unknown_command) return print(call.command ? call.command->help : usage_text());
  if (!line.error.empty()) return usage_error(call, line.error);
  if (call.command == nullptr) return usage_error(call, "no command given");

  const int status = call.command->run(call);
  // Output that did not all reach its reader is a failure, but for an endless command a reader
  // that stops reading ends the job.
  const Flow flow = output_flow();
  if (status == kExitOk && flow == Flow::failed) {
    std::fprintf(stderr, "mixlink: cannot write the output: %s\n", output_error());
    return kExitFail;
  }
  if (status == kExitOk && flow == Flow::reader_gone && !call.command->endless) return kExitFail;
  return status;
}
