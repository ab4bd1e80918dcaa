// SPDX-License-Identifier: MIT
// mixsim's command line: the options, their parsing and the help text. No sockets.
#pragma once

#include <cstddef>
#include <string>

#include <mixlink/protocol.h>

#include "compose.h"

namespace mixsim {

// Default bound of one client's output queue: beyond it mixsim stops reading that client.
inline constexpr long kDefaultQueueBytes = 4L << 20;

struct options {
  std::string bind = "127.0.0.1";
  int port = mixlink::kNativePort;
  double rate = 20.0;
  bool animate = false, quiet = false, garbage = false, ignore_keepalive = false, list_codes = false;
  unsigned seed = 1;
  int split = 0, latency_ms = 0;
  double close_after_seconds = 0;
  long long close_after_bytes = 0;
  long queue_bytes = kDefaultQueueBytes;
  meter_shape meters = meter_shape::normal;
  int feedback_band = -1;          // the band that builds up like feedback; -1: none
  double feedback_growth = 800.0;  // meter units a second
  enum { mixed, short_form, long_form } definitions = mixed;
};

// What the command line asks for: run, or end at once with status 0 (help, version) or 2.
struct parse_outcome {
  enum { run, done, usage_error } action = run;
  std::string text;  // for done: what to print on standard output; for usage_error: the message
};

// Reads argv[1..argc) into o: options as "--name value" or "--name=value"; whole numbers are read
// as whole numbers only ("2222.9" and "1e3" are refused) and every number is checked against its
// range. Returns run, done with the help text or the version line, or usage_error with one line
// that says what was wrong.
parse_outcome parse_options(int argc, const char* const* argv, options& o);

// The line --version prints, "mixsim " and the version the build was made with.
std::string version_line();

}  // namespace mixsim
