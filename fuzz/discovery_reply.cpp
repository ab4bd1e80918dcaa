// SPDX-License-Identifier: MIT
// The discovery-reply parse: any datagram gives either nothing or an address text of at most 16
// characters taken from the datagram's own bytes, ended before the first comma.
#include <mixlink/link.h>

#include <string>

#include "fuzz_support.h"

using mixfuzz::ExactBuffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > mixfuzz::kMaxInput) return 0;
  ExactBuffer datagram(data, size);
  char address[17 + 8];
  std::memset(address, 'Q', sizeof address);
  const int r = wParseDiscoveryReply(datagram.data(), datagram.size(), address);
  const bool valid = size >= 6 && std::memcmp(data, "WING", 4) == 0;
  FUZZ_CHECK(r == (valid ? 1 : 0));
  if (r == 0) {
    for (char c : address) FUZZ_CHECK(c == 'Q');
    return 0;
  }
  for (size_t i = 17; i < sizeof address; ++i) FUZZ_CHECK(address[i] == 'Q');
  const size_t len = strnlen(address, 17);
  FUZZ_CHECK(len <= 16);
  std::string want;
  for (size_t i = 5; i < size && want.size() < 16 && data[i] != 0 && data[i] != ','; ++i) {
    want.push_back(static_cast<char>(data[i]));
  }
  FUZZ_CHECK(std::string(address, len) == want);
  return 0;
}
