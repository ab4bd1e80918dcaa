// SPDX-License-Identifier: MIT
// The value-token decoders: the bounded and unbounded single-value decoder, the stream decoder of
// events and container replies, the token length and the value text must agree on every token,
// never read past it, and hand back texts that the one encoder writes back to the same token.
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include "fuzz_support.h"

using namespace mixlink;
using mixfuzz::ExactBuffer;

namespace {

void free_text(int type, w_value& v) {
  if (type == W_VALUE_STRING) std::free(v.s);
  v.s = nullptr;
}

void check_one_token(const uint8_t* data, size_t size) {
  ExactBuffer buf(data, size);
  const int n = static_cast<int>(size);
  const unsigned char code = data[0];
  const int width = wTokenLength(buf.data(), n);
  FUZZ_CHECK(width >= 0 && width <= n);
  FUZZ_CHECK(code < kTokFirstInvalid || width == 0);

  int type = -1;
  w_value value{};
  const int bounded = wParesToValueBounded(buf.data(), n, &type, &value);
  FUZZ_CHECK(bounded == (width > 0 ? 1 : 0));
  if (bounded != 1) {
    FUZZ_CHECK(type == -1);
    return;
  }
  FUZZ_CHECK(type >= W_VALUE_HASH && type <= W_VALUE_STRING);

  // The unbounded decoder on a copy holding exactly the token: any read beyond its announced
  // width is an overread that AddressSanitizer reports.
  ExactBuffer exact(data, static_cast<size_t>(width));
  int type2 = -1;
  w_value value2{};
  FUZZ_CHECK(wParesToValue(exact.data(), &type2, &value2) == 1);
  FUZZ_CHECK(type2 == type);
  if (type == W_VALUE_STRING) {
    FUZZ_CHECK((value.s == nullptr) == (value2.s == nullptr));
    if (value.s) {
      const size_t len = std::strlen(value.s);
      FUZZ_CHECK(len < static_cast<size_t>(width) && len <= 256);
      FUZZ_CHECK(std::strcmp(value.s, value2.s) == 0);
    }
  } else {
    FUZZ_CHECK(value.i == value2.i);
  }

  // The stream decoder differs in the offset integers and the node hash only.
  w_token_value rec{};
  rec.token = 0xA5A5A5A5u;
  const int next = wParseToTV(buf.data(), 0, &rec, n);
  FUZZ_CHECK(next == width);
  FUZZ_CHECK(rec.token == 0xA5A5A5A5u);
  if (code >= kTokOffsetIntFirst && code <= kTokOffsetIntLast) {
    FUZZ_CHECK(rec.type == W_VALUE_INT && rec.value.i == code - 127 && value.i == code - 63);
  } else if (code == kTokNodeHash) {
    FUZZ_CHECK(rec.type == W_VALUE_INT && type == W_VALUE_HASH && rec.value.hash == value.hash);
  } else if (type == W_VALUE_STRING) {
    FUZZ_CHECK(rec.type == W_VALUE_STRING);
    FUZZ_CHECK((rec.value.s == nullptr) == (value.s == nullptr));
    FUZZ_CHECK(value.s == nullptr || std::strcmp(rec.value.s, value.s) == 0);
  } else {
    FUZZ_CHECK(rec.type == type && rec.value.i == value.i);
  }

  // The value text covers the same bytes and always ends with its comma.
  char text[W_VALUE_TEXT_SIZE + 1];
  text[W_VALUE_TEXT_SIZE] = 'X';
  FUZZ_CHECK(wParseToNode(nullptr, buf.data(), 0, text, n) == width);
  FUZZ_CHECK(text[W_VALUE_TEXT_SIZE] == 'X');
  const size_t text_len = std::strlen(text);
  FUZZ_CHECK(text_len > 0 && text_len < W_VALUE_TEXT_SIZE && text[text_len - 1] == ',');

  // What was decoded encodes back and decodes to the same value.
  unsigned char again[300];
  if (type == W_VALUE_INT) {
    const int m = wEncodeInt(value.i, again);
    int t3 = -1;
    w_value v3{};
    FUZZ_CHECK(m > 0 && wParesToValueBounded(again, m, &t3, &v3) == 1);
    FUZZ_CHECK(t3 == W_VALUE_INT && v3.i == value.i);
  } else if (type == W_VALUE_STRING) {
    const int len = value.s ? static_cast<int>(std::strlen(value.s)) : 0;
    const int m = wEncodeString(value.s, len, again);
    int t3 = -1;
    w_value v3{};
    FUZZ_CHECK(m > 0 && wParesToValueBounded(again, m, &t3, &v3) == 1 && t3 == W_VALUE_STRING);
    FUZZ_CHECK(len == 0 ? v3.s == nullptr : (v3.s != nullptr && std::strcmp(v3.s, value.s) == 0));
    free_text(t3, v3);
  }
  free_text(rec.type, rec.value);
  free_text(type, value);
  free_text(type2, value2);
}

// The stream decoder walked over the whole input as a run of tokens: every step moves forward
// and stays inside the data.
void check_token_run(const uint8_t* data, size_t size) {
  ExactBuffer buf(data, size);
  const int n = static_cast<int>(size);
  int pos = 0;
  while (pos < n) {
    w_token_value rec{};
    const int next = wParseToTV(buf.data(), pos, &rec, n);
    if (next <= 0) break;
    FUZZ_CHECK(next > pos && next <= n);
    FUZZ_CHECK(next - pos == wTokenLength(buf.data() + pos, n - pos));
    free_text(rec.type, rec.value);
    pos = next;
  }
  char text[W_VALUE_TEXT_SIZE];
  for (pos = 0; pos < n;) {
    const int next = wParseToNode(nullptr, buf.data(), pos, text, n);
    if (next <= 0) break;
    FUZZ_CHECK(next > pos && next <= n);
    pos = next;
  }
  // Positions outside the data give nothing and touch nothing.
  w_token_value rec{};
  FUZZ_CHECK(wParseToTV(buf.data(), n, &rec, n) == 0 && rec.type == 0);
  FUZZ_CHECK(wParseToTV(buf.data(), -1, &rec, n) == 0);
  FUZZ_CHECK(wParseToNode(nullptr, buf.data(), n, text, n) == 0 && text[0] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > mixfuzz::kMaxInput) return 0;
  check_one_token(data, size);
  check_token_run(data, size);
  return 0;
}
