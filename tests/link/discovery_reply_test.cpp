// SPDX-License-Identifier: MIT
// Discovery's reply parser, pure: it runs wherever the library does (the broadcast itself is
// tested in discovery_test, inside a private network namespace).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <mixlink/link.h>

#include "scripted_peer.h"

namespace {

using mixtest::Bytes;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(DiscoveryReply, AddressTextIsTakenUpToTheCommaAndAtMostSixteenBytes) {
  struct Case {
    std::string reply;
    int result;
    std::string address;  // what the buffer holds afterwards ("untouched" when not accepted)
  } cases[] = {
      {"WING,192.0.2.10,ngc-full,NO_SERIAL,1.07", 1, "192.0.2.10"},
      {"WING:10.0.0.1,", 1, "10.0.0.1"},
      {"WING,1234567890123456789", 1, "1234567890123456"},
      {"WING,123456789012345,x", 1, "123456789012345"},
      {"WING,192.0.2.7", 1, "192.0.2.7"},  // no comma: the datagram's end ends the text
      {"WING,x", 1, "x"},
      {"WING,", 0, "untouched"},
      {"WING", 0, "untouched"},
      {"", 0, "untouched"},
      {"XING,192.0.2.10,", 0, "untouched"},
      {"wing,192.0.2.10,", 0, "untouched"},
  };
  for (const Case& c : cases) {
    char address[32] = "untouched";
    const Bytes b = text(c.reply);
    EXPECT_EQ(wParseDiscoveryReply(b.data(), static_cast<int>(b.size()), address), c.result) << c.reply;
    EXPECT_EQ(std::string(address), c.address) << c.reply;
  }
}

TEST(DiscoveryReply, BytesBeyondTheDatagramAreNeverCopied) {
  // The receive buffer still holds a longer, earlier reply behind the short new one.
  Bytes buf = text("WING,10.1.2.3,tail");
  const Bytes fresh = text("WING,9");
  std::copy(fresh.begin(), fresh.end(), buf.begin());
  char address[32];
  std::memset(address, 'x', sizeof address);
  ASSERT_EQ(wParseDiscoveryReply(buf.data(), static_cast<int>(fresh.size()), address), 1);
  EXPECT_STREQ(address, "9");
  // A zero byte ends the text as well.
  const unsigned char with_nul[] = {'W', 'I', 'N', 'G', ',', '1', 0, '2', ','};
  ASSERT_EQ(wParseDiscoveryReply(with_nul, sizeof with_nul, address), 1);
  EXPECT_STREQ(address, "1");
}

}  // namespace
