// SPDX-License-Identifier: MIT
// A C++ caller that writes the calls without the length or capacity arguments C needs: they
// compile and behave as the full forms with an unchecked length or an unlimited capacity.
#include <mixlink/mixlink.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

TEST(ShortForms, CallsWithoutLengthOrCapacityWork) {
  const uint32_t on = wGetTokenFromName("cfg.mon.1.eq.on");
  const uint32_t h = wGetHash(on);
  const unsigned char block[] = {0xD7, static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
                                 static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h), 0x82, 'a', 'b', 'c'};

  w_token_value rec{77, -1, {}};
  ASSERT_EQ(wParseToTV(block, 5, &rec), static_cast<int>(sizeof block));
  EXPECT_EQ(rec.token, 77u);  // the record decoder leaves the token alone
  EXPECT_EQ(rec.type, W_VALUE_STRING);
  EXPECT_STREQ(rec.value.s, "abc");
  std::free(rec.value.s);

  char text[W_VALUE_TEXT_SIZE] = "untouched";
  ASSERT_EQ(wParseToNode(nullptr, block, 5, text), static_cast<int>(sizeof block));
  EXPECT_STREQ(text, "abc,");

  // The container reads refuse a leaf before they send anything, so no connection is needed.
  std::strcpy(text, "untouched");
  w_token_value records[1] = {};
  EXPECT_EQ(wGetNode(on, text), -1);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(wGetNodeToTVArray(on, records), -1);
  EXPECT_EQ(wGetNode(static_cast<uint32_t>(wds_imax), text), -1);
}

}  // namespace
