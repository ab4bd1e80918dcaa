// SPDX-License-Identifier: MIT
// Reads every leaf below a container in one request and prints them as one JSON object, keyed by
// full path.
//
//   dump_json [-a ADDRESS] CONTAINER   dump_json -a 127.0.0.1 ch.1.eq > eq.json
//
// Without -a the console is found by a broadcast on the local network. Exits 1 when it cannot
// connect or read, 2 for a wrong command line. The values are the library's records (see
// wGetNodeToTVArray), the protocol-level view of the reply.
#include <mixlink/mixlink.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The text as a JSON string: quotes, backslashes and control characters escaped.
std::string json_string(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_value(const w_token_value& record) {
  char number[32];
  switch (record.type) {
    case W_VALUE_INT: std::snprintf(number, sizeof number, "%d", record.value.i); return number;
    case W_VALUE_FLOAT:
      if (!std::isfinite(record.value.f)) return "null";
      std::snprintf(number, sizeof number, "%.9g", static_cast<double>(record.value.f));
      return number;
    case W_VALUE_STRING: return json_string(record.value.s ? record.value.s : "");
    default: std::snprintf(number, sizeof number, "\"%08x\"", record.value.hash); return number;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool given = argc > 2 && std::strcmp(argv[1], "-a") == 0;
  const int at = given ? 3 : 1;
  if (argc != at + 1 || argv[at][0] == '-') {
    std::fprintf(stderr, "usage: dump_json [-a ADDRESS] CONTAINER\n");
    return 2;
  }
  const char* path = argv[at];
  const uint32_t container = wGetTokenFromName(path);
  if (container == 0 || wGetType(container) != W_CONTAINER) {
    std::fprintf(stderr, "dump_json: %s is not a container\n", path);
    return 1;
  }
  char address[64];
  std::snprintf(address, sizeof address, "%s", given ? argv[2] : "");
  const int opened = wOpen(address);
  if (opened != 1) {
    std::fprintf(stderr, "dump_json: cannot connect (%d)\n", opened);
    return 1;
  }

  // One record per leaf below the container: the dictionary knows how many there are.
  std::vector<w_token_value> records(static_cast<size_t>(wNodeLeafCount(container)));
  const int n = wGetNodeToTVArray(container, records.data(), static_cast<int>(records.size()));
  wClose();
  if (n < 0) {
    std::fprintf(stderr, "dump_json: read of %s failed (%d)\n", path, n);
    return 1;
  }

  std::printf("{");
  for (int i = 0; i < n; ++i) {
    const w_token_value& record = records[static_cast<size_t>(i)];
    std::printf("%s\n  %s: %s", i ? "," : "", json_string(wGetName(record.token)).c_str(),
                json_value(record).c_str());
    if (record.type == W_VALUE_STRING) std::free(record.value.s);  // texts belong to the caller
  }
  std::printf("\n}\n");
  return 0;
}
