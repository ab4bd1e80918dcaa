// SPDX-License-Identifier: MIT
// Connects to a console and reads the value of each leaf named on the command line.
//
//   read_value [-a ADDRESS] PATH...   read_value -a 127.0.0.1 ch.1.name ch.1.fdr ch.1.mute
//
// Without -a the console is found by a broadcast on the local network. Exits 1 when it cannot
// connect or a value cannot be read, 2 for a wrong command line.
#include <mixlink/mixlink.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const bool given = argc > 2 && std::strcmp(argv[1], "-a") == 0;
  const int first = given ? 3 : 1;
  if (first >= argc || argv[first][0] == '-') {
    std::fprintf(stderr, "usage: read_value [-a ADDRESS] PATH...\n");
    return 2;
  }
  // wOpen writes the address it found into the buffer when it discovers the console.
  char address[64];
  std::snprintf(address, sizeof address, "%s", given ? argv[2] : "");
  const int opened = wOpen(address);
  if (opened != 1) {
    std::fprintf(stderr, "read_value: cannot connect (%d)\n", opened);
    return 1;
  }
  std::printf("connected to %s (mixlink %s)\n", address, wVersionText());

  int status = 0;
  for (int i = first; i < argc; ++i) {
    // Paths become tokens through the compiled-in dictionary; letter case does not matter.
    const uint32_t token = wGetTokenFromName(argv[i]);
    if (token == 0 || wGetType(token) == W_CONTAINER) {
      std::fprintf(stderr, "read_value: %s is not a leaf\n", argv[i]);
      status = 1;
      continue;
    }
    int type = 0;
    w_value value{};
    const int got = wGetTokenTimed(token, &type, &value, 1000000);  // wait at most 1 s
    if (got != 1) {
      std::fprintf(stderr, "read_value: %s: no value (%d)\n", argv[i], got);
      status = 1;
      continue;
    }
    const char* path = wGetName(token);  // the console's own spelling
    switch (type) {
      case W_VALUE_INT: std::printf("%s = %d\n", path, value.i); break;
      case W_VALUE_FLOAT: std::printf("%s = %g\n", path, static_cast<double>(value.f)); break;
      case W_VALUE_STRING:
        std::printf("%s = \"%s\"\n", path, value.s ? value.s : "");
        std::free(value.s);  // texts belong to the caller
        break;
      default: std::printf("%s = node %08x\n", path, value.hash); break;
    }
  }
  wClose();
  return status;
}
