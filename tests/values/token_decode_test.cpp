// SPDX-License-Identifier: MIT
// The value-token decoders over every code boundary, cut-off input and encoder round trips.
// Every input is copied into a heap buffer of exactly its size, so an overread fails under ASan.
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Exactly-sized heap copy of the first n bytes.
struct Exact {
  Exact(const Bytes& b, size_t n) : data(new unsigned char[n]), size(n) {
    if (n > 0) std::memcpy(data.get(), b.data(), n);
  }
  std::unique_ptr<unsigned char[]> data;
  size_t size;
};

Bytes long_text_token(int text_length, char fill) {
  Bytes b = {mixlink::kTokLongStr, static_cast<unsigned char>(text_length - 1)};
  b.insert(b.end(), static_cast<size_t>(text_length), static_cast<unsigned char>(fill));
  return b;
}

Bytes string_token(unsigned char code, int text_length) {
  Bytes b = {code};
  for (int i = 0; i < text_length; ++i) b.push_back(static_cast<unsigned char>('a' + i % 26));
  return b;
}

struct Expect {
  const char* name;
  Bytes token;
  int type;             // from wParesToValue
  int32_t value;        // integer, hash or float bits
  int stream_type;      // from wParseToTV
  int32_t stream_value;
  int width;            // wire length
};

// Every code boundary, and the two places where the stream decoder differs.
std::vector<Expect> boundaries() {
  const int32_t one_bits = 0x3F800000;
  return {
      {"0x00 small integer 0", {0x00}, 1, 0, 1, 0, 1},
      {"0x3F small integer 63", {0x3F}, 1, 63, 1, 63, 1},
      {"0x40 offset integer", {0x40}, 1, 1, 1, -63, 1},
      {"0x7F offset integer", {0x7F}, 1, 64, 1, 0, 1},
      {"0xD2 negative 16-bit", {0xD2, 0xFF, 0xFE}, 1, -2, 1, -2, 3},
      {"0xD3 largest 16-bit", {0xD3, 0x7F, 0xFF}, 1, 32767, 1, 32767, 3},
      {"0xD3 smallest 16-bit", {0xD3, 0x80, 0x00}, 1, -32768, 1, -32768, 3},
      {"0xD4 smallest 32-bit", {0xD4, 0x80, 0x00, 0x00, 0x00}, 1, INT32_MIN, 1, INT32_MIN, 5},
      {"0xD4 minus seven", {0xD4, 0xFF, 0xFF, 0xFF, 0xF9}, 1, -7, 1, -7, 5},
      {"0xD5 float 1.0 (bits 0x3F800000)", {0xD5, 0x3F, 0x80, 0x00, 0x00}, 2, one_bits, 2, one_bits, 5},
      {"0xD6 float 1.0", {0xD6, 0x3F, 0x80, 0x00, 0x00}, 2, one_bits, 2, one_bits, 5},
      {"0xD7 node hash", {0xD7, 0x00, 0x00, 0x01, 0x00}, 0, 256, 1, 256, 5},
      {"0xD7 high hash", {0xD7, 0xF9, 0x2F, 0x43, 0x80}, 0, static_cast<int32_t>(0xF92F4380u), 1,
       static_cast<int32_t>(0xF92F4380u), 5},
      {"0xD8 toggle", {0xD8}, 1, 1, 1, 1, 1},
      {"0xD9 byte 0", {0xD9, 0x00}, 1, 0, 1, 0, 2},
      {"0xD9 byte 255", {0xD9, 0xFF}, 1, 255, 1, 255, 2},
  };
}

int32_t bits_of(const w_value& v, int type) {
  if (type == W_VALUE_FLOAT) {
    int32_t b;
    std::memcpy(&b, &v.f, sizeof b);
    return b;
  }
  return v.i;
}

TEST(TokenDecoders, NumericCodesDecodeAtEveryBoundary) {
  for (const Expect& e : boundaries()) {
    SCOPED_TRACE(e.name);
    Exact in(e.token, e.token.size());
    int type = -5;
    w_value v{};
    EXPECT_EQ(wParesToValue(in.data.get(), &type, &v), 1);
    EXPECT_EQ(type, e.type);
    EXPECT_EQ(bits_of(v, type), e.value);

    type = -5;
    v = w_value{};
    EXPECT_EQ(wParesToValueBounded(in.data.get(), static_cast<int>(in.size), &type, &v), 1);
    EXPECT_EQ(type, e.type);
    EXPECT_EQ(bits_of(v, type), e.value);

    w_token_value rec{77, -5, {}};
    EXPECT_EQ(wParseToTV(in.data.get(), 0, &rec, static_cast<int>(in.size)), e.width);
    EXPECT_EQ(rec.token, 77u) << "the stream decoder leaves the token alone";
    EXPECT_EQ(rec.type, e.stream_type);
    EXPECT_EQ(bits_of(rec.value, rec.type), e.stream_value);

    EXPECT_EQ(wTokenLength(in.data.get(), static_cast<int>(in.size)), e.width);
  }
}

TEST(TokenDecoders, CodesThatAreNoValueLeaveEverythingUntouched) {
  for (int c = 0xDA; c <= 0xFF; ++c) {
    SCOPED_TRACE(c);
    // Followed by plenty of bytes: a code that is no value must not read its neighbours.
    Bytes b(8, 0x41);
    b[0] = static_cast<unsigned char>(c);
    int type = 42;
    w_value v;
    v.i = 4242;
    EXPECT_EQ(wParesToValue(b.data(), &type, &v), 0);
    EXPECT_EQ(wParesToValueBounded(b.data(), 8, &type, &v), 0);
    EXPECT_EQ(type, 42);
    EXPECT_EQ(v.i, 4242);
    w_token_value rec{1, 42, {}};
    rec.value.i = 4242;
    EXPECT_EQ(wParseToTV(b.data(), 0, &rec, 8), 0);
    EXPECT_EQ(wParseToTV(b.data(), 0, &rec, -1), 0);
    EXPECT_EQ(rec.type, 42);
    EXPECT_EQ(rec.value.i, 4242);
    EXPECT_EQ(wTokenLength(b.data(), 8), 0);
  }
}

struct TextCase {
  const char* name;
  Bytes token;
  std::string text;  // expected text, possibly cut by a zero byte
  int width;
};

std::vector<TextCase> text_cases() {
  std::string a64, a16, a256;
  for (int i = 0; i < 64; ++i) a64.push_back(static_cast<char>('a' + i % 26));
  a16 = a64.substr(0, 16);
  a256.assign(256, 'z');
  return {
      {"0x80 one byte", {0x80, 'A'}, "A", 2},
      {"0xBF 64 bytes", string_token(0xBF, 64), a64, 65},
      {"0xC0 one byte", {0xC0, 'q'}, "q", 2},
      {"0xCF 16 bytes", string_token(0xCF, 16), a16, 17},
      {"0xD1 length byte 0 carries one byte", long_text_token(1, 'x'), "x", 3},
      {"0xD1 length byte 0xFF carries 256 bytes", long_text_token(256, 'z'), a256, 258},
      {"zero byte ends a short text", {0x82, 'A', 0x00, 'B'}, "A", 4},
      {"zero byte first gives an empty text", {0xC1, 0x00, 'B'}, "", 3},
      {"zero byte ends a long text", {0xD1, 0x02, 'x', 0x00, 'y'}, "x", 5},
  };
}

TEST(TokenDecoders, TextsAreCopiedWholeOrUpToAZeroByte) {
  for (const TextCase& t : text_cases()) {
    SCOPED_TRACE(t.name);
    Exact in(t.token, t.token.size());
    int type = 0;
    w_value v{};
    ASSERT_EQ(wParesToValue(in.data.get(), &type, &v), 1);
    EXPECT_EQ(type, W_VALUE_STRING);
    ASSERT_NE(v.s, nullptr);
    EXPECT_EQ(std::string(v.s), t.text);
    std::free(v.s);

    w_token_value rec{};
    ASSERT_EQ(wParseToTV(in.data.get(), 0, &rec, static_cast<int>(in.size)), t.width)
        << "the stream resumes right after the text";
    EXPECT_EQ(rec.type, W_VALUE_STRING);
    ASSERT_NE(rec.value.s, nullptr);
    EXPECT_EQ(std::string(rec.value.s), t.text);
    std::free(rec.value.s);
  }
}

// Every token cut short, at every length, is no value for the bounded decoders, and nothing is
// read beyond the cut.
TEST(TokenDecoders, CutOffTokensAreNoValueAtEveryLength) {
  std::vector<Bytes> tokens;
  for (const Expect& e : boundaries()) tokens.push_back(e.token);
  for (const TextCase& t : text_cases()) tokens.push_back(t.token);
  for (const Bytes& full : tokens) {
    for (size_t cut = 0; cut < full.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << "code " << int(full[0]) << " cut at " << cut);
      Exact in(full, cut);
      const int n = static_cast<int>(cut);
      EXPECT_EQ(wTokenLength(in.data.get(), n), 0);
      int type = 42;
      w_value v;
      v.i = 4242;
      EXPECT_EQ(wParesToValueBounded(in.data.get(), n, &type, &v), 0);
      EXPECT_EQ(type, 42);
      EXPECT_EQ(v.i, 4242);
      w_token_value rec{1, 42, {}};
      rec.value.i = 4242;
      EXPECT_EQ(wParseToTV(in.data.get(), 0, &rec, n), 0);
      EXPECT_EQ(rec.type, 42);
      EXPECT_EQ(rec.value.i, 4242);
    }
  }
}

TEST(TokenDecoders, StreamDecoderStepsFromAnyPositionWithinTheBlock) {
  // Three tokens back to back: 0x05, a long text of 3 bytes, a float.
  const Bytes block = {0x05, 0xD1, 0x02, 'a', 'b', 'c', 0xD5, 0x40, 0x30, 0x00, 0x00};
  Exact in(block, block.size());
  const int len = static_cast<int>(block.size());
  w_token_value rec{};
  EXPECT_EQ(wParseToTV(in.data.get(), 0, &rec, len), 1);
  EXPECT_EQ(wParseToTV(in.data.get(), 1, &rec, len), 6);
  ASSERT_NE(rec.value.s, nullptr);
  EXPECT_STREQ(rec.value.s, "abc");
  std::free(rec.value.s);
  EXPECT_EQ(wParseToTV(in.data.get(), 6, &rec, len), len);
  EXPECT_FLOAT_EQ(rec.value.f, 2.75f);
  // At or past the end, or before the start, there is no token.
  EXPECT_EQ(wParseToTV(in.data.get(), len, &rec, len), 0);
  EXPECT_EQ(wParseToTV(in.data.get(), -1, &rec, len), 0);
  // The same token cut by a shorter block length.
  EXPECT_EQ(wParseToTV(in.data.get(), 6, &rec, len - 1), 0);
}

// ---- The encoder, and its output through every decoder ----

struct Decoded {
  int result;
  int type;
  w_value value;
};

// Decodes one encoded token with each decoder, checking the widths agree with the encoder's.
void check_round_trip(const unsigned char* out, int n, int want_type, const std::string* text,
                      int32_t want_bits, int32_t want_stream_bits, int want_stream_type) {
  Bytes b(out, out + n);
  Exact in(b, b.size());
  EXPECT_EQ(wTokenLength(in.data.get(), n), n);
  Decoded d1{}, d2{};
  d1.result = wParesToValue(in.data.get(), &d1.type, &d1.value);
  d2.result = wParesToValueBounded(in.data.get(), n, &d2.type, &d2.value);
  w_token_value rec{};
  const int next = wParseToTV(in.data.get(), 0, &rec, n);
  EXPECT_EQ(d1.result, 1);
  EXPECT_EQ(d2.result, 1);
  EXPECT_EQ(next, n);
  EXPECT_EQ(d1.type, want_type);
  EXPECT_EQ(d2.type, want_type);
  EXPECT_EQ(rec.type, want_stream_type);
  if (want_type == W_VALUE_STRING) {
    for (char* s : {d1.value.s, d2.value.s, rec.value.s}) {
      if (text->empty()) {
        EXPECT_EQ(s, nullptr);
      } else {
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s), *text);
      }
      std::free(s);
    }
  } else {
    EXPECT_EQ(bits_of(d1.value, d1.type), want_bits);
    EXPECT_EQ(bits_of(d2.value, d2.type), want_bits);
    EXPECT_EQ(bits_of(rec.value, rec.type), want_stream_bits);
  }
}

TEST(TokenEncoder, IntegersRoundTripThroughEveryDecoder) {
  const int32_t values[] = {0, 1, 63, 64, 65, 255, 256, -1, -2, 32767, 32768, -32768, -32769,
                            INT32_MAX, INT32_MIN, 100000, -100000};
  const int widths[] = {1, 1, 1, 2, 2, 2, 3, 3, 3, 3, 5, 3, 5, 5, 5, 5, 5};
  for (size_t i = 0; i < std::size(values); ++i) {
    SCOPED_TRACE(values[i]);
    unsigned char out[5];
    const int n = wEncodeInt(values[i], out);
    ASSERT_EQ(n, widths[i]);
    check_round_trip(out, n, W_VALUE_INT, nullptr, values[i], values[i], W_VALUE_INT);
  }
}

TEST(TokenEncoder, StringsOfEveryLengthRoundTripThroughEveryDecoder) {
  for (int len = 0; len <= 256; ++len) {
    SCOPED_TRACE(len);
    std::string text;
    for (int i = 0; i < len; ++i) text.push_back(static_cast<char>('!' + i % 90));
    unsigned char out[260];
    const int n = wEncodeString(text.data(), len, out);
    const int want = len == 0 ? 1 : len <= 64 ? len + 1 : len + 2;
    ASSERT_EQ(n, want);
    if (len == 0) EXPECT_EQ(out[0], 0xD0);
    else if (len <= 16) EXPECT_EQ(out[0], 0xC0 + len - 1);
    else if (len <= 64) EXPECT_EQ(out[0], 0x80 + len - 1);
    else EXPECT_EQ(out[0], 0xD1);
    check_round_trip(out, n, W_VALUE_STRING, &text, 0, 0, W_VALUE_STRING);
  }
  unsigned char out[300];
  EXPECT_EQ(wEncodeString(std::string(257, 'x').data(), 257, out), 0);
  EXPECT_EQ(wEncodeString("x", -1, out), 0);
}

TEST(TokenEncoder, EveryCodeClassRoundTripsThroughEveryDecoder) {
  unsigned char out[300];
  w_value v{};
  for (int c = 0x00; c <= 0x7F; ++c) {
    ASSERT_EQ(wEncodeToken(static_cast<unsigned char>(c), v, nullptr, 0, out, 1), 1);
    const int32_t single = c <= 0x3F ? c : c - 63;
    const int32_t stream = c <= 0x3F ? c : c - 127;
    check_round_trip(out, 1, W_VALUE_INT, nullptr, single, stream, W_VALUE_INT);
  }
  v.i = -300;
  for (unsigned char c : {0xD2, 0xD3}) {
    ASSERT_EQ(wEncodeToken(c, v, nullptr, 0, out, 3), 3);
    check_round_trip(out, 3, W_VALUE_INT, nullptr, -300, -300, W_VALUE_INT);
  }
  v.i = INT32_MIN + 5;
  ASSERT_EQ(wEncodeToken(0xD4, v, nullptr, 0, out, 5), 5);
  check_round_trip(out, 5, W_VALUE_INT, nullptr, INT32_MIN + 5, INT32_MIN + 5, W_VALUE_INT);
  v.f = -2.75f;
  for (unsigned char c : {0xD5, 0xD6}) {
    ASSERT_EQ(wEncodeToken(c, v, nullptr, 0, out, 5), 5);
    check_round_trip(out, 5, W_VALUE_FLOAT, nullptr, bits_of(v, W_VALUE_FLOAT),
                     bits_of(v, W_VALUE_FLOAT), W_VALUE_FLOAT);
  }
  v.hash = 0xDFDFDFDF;
  ASSERT_EQ(wEncodeToken(0xD7, v, nullptr, 0, out, 5), 5);
  check_round_trip(out, 5, W_VALUE_HASH, nullptr, static_cast<int32_t>(0xDFDFDFDFu),
                   static_cast<int32_t>(0xDFDFDFDFu), W_VALUE_INT);
  ASSERT_EQ(wEncodeToken(0xD8, v, nullptr, 0, out, 1), 1);
  check_round_trip(out, 1, W_VALUE_INT, nullptr, 1, 1, W_VALUE_INT);
  v.i = 200;
  ASSERT_EQ(wEncodeToken(0xD9, v, nullptr, 0, out, 2), 2);
  check_round_trip(out, 2, W_VALUE_INT, nullptr, 200, 200, W_VALUE_INT);
  // Texts with zero bytes inside survive the encoder; the decoders then end the text there.
  const char zeroed[] = {'a', 'b', 0, 'c'};
  const std::string ab = "ab";
  ASSERT_EQ(wEncodeToken(0xC0, v, zeroed, 4, out, 10), 5);
  check_round_trip(out, 5, W_VALUE_STRING, &ab, 0, 0, W_VALUE_STRING);
  ASSERT_EQ(wEncodeToken(0xD1, v, zeroed, 4, out, 10), 6);
  check_round_trip(out, 6, W_VALUE_STRING, &ab, 0, 0, W_VALUE_STRING);
}

TEST(TokenEncoder, RefusesValuesThatDoNotFitTheirCodeOrTheBuffer) {
  unsigned char out[300];
  w_value v{};
  v.i = 32768;
  EXPECT_EQ(wEncodeToken(0xD2, v, nullptr, 0, out, 3), 0);
  v.i = 256;
  EXPECT_EQ(wEncodeToken(0xD9, v, nullptr, 0, out, 2), 0);
  v.i = -1;
  EXPECT_EQ(wEncodeToken(0xD9, v, nullptr, 0, out, 2), 0);
  v.i = 1;
  EXPECT_EQ(wEncodeToken(0xD4, v, nullptr, 0, out, 4), 0);
  EXPECT_EQ(wEncodeToken(0xC0, v, std::string(17, 'x').data(), 17, out, 300), 0);
  EXPECT_EQ(wEncodeToken(0x80, v, std::string(65, 'x').data(), 65, out, 300), 0);
  EXPECT_EQ(wEncodeToken(0xD1, v, std::string(257, 'x').data(), 257, out, 300), 0);
  EXPECT_EQ(wEncodeToken(0x80, v, "abc", 3, out, 3), 0);
  EXPECT_EQ(wEncodeToken(0xD1, v, "abc", 3, out, 4), 0);
  EXPECT_EQ(wEncodeToken(0xC0, v, nullptr, 3, out, 300), 0);
  for (int c = 0xDA; c <= 0xFF; ++c) EXPECT_EQ(wEncodeToken(static_cast<unsigned char>(c), v, nullptr, 0, out, 300), 0);
}

}  // namespace
