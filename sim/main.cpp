// SPDX-License-Identifier: MIT
// mixsim: a simulated console on the native protocol, for demos and tests without hardware.
// options.h reads the command line, server.h runs the console; faults.h, meter_plan.h and
// outbox.h hold the fault injection, the meter subscriptions and each client's output queue.
#include <mixlink/dictionary.h>

#include <cstdio>

#include "model.h"
#include "options.h"
#include "server.h"

using namespace mixsim;

namespace {

constexpr int kExitUsage = 2;

void list_codes(const console_model& model) {
  std::printf("%-5s %-30s %-32s %s\n", "code", "class", "path", "value token");
  for (const code_example& ex : model.code_examples()) {
    const char* path = ex.token != 0 ? wingdataset[ex.token].path : "(none)";
    std::printf("0x%02X  %-30s %-32s %s\n", ex.code, ex.what, path, hex_of(model.value(ex.token)).c_str());
  }
  auto animated = [&](const char* what, uint32_t t) {
    std::printf("animated %-8s %s\n", what, t != 0 ? wingdataset[t].path : "(none)");
  };
  animated("fader", model.fader_token());
  animated("mute", model.mute_token());
  animated("level", model.gain_token());
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  const parse_outcome parsed = parse_options(argc, argv, opt);
  if (parsed.action == parse_outcome::done) {
    std::fputs(parsed.text.c_str(), stdout);
    return 0;
  }
  if (parsed.action == parse_outcome::usage_error) {
    std::fprintf(stderr, "%s\n", parsed.text.c_str());
    return kExitUsage;
  }
  if (opt.list_codes) {
    list_codes(console_model(opt.seed));
    return 0;
  }
  server s(opt);
  if (!s.open()) return 1;
  return s.run();
}
