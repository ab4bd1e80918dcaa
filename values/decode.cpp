// SPDX-License-Identifier: MIT
// Value-token decoders: the single-value decoder, the stream decoder and the definition-reply
// locator. Pure functions over (bytes, length); no socket is touched here.
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cstdlib>
#include <cstring>

#include "link/wire.h"
#include "reassembly.h"
#include "token_length.h"

using namespace mixlink;

namespace {

using mixlink::wire::get_be32;

int32_t be16_signed(const unsigned char* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(mixlink::wire::get_be16(p)));
}

// Copies n text bytes into a new NUL-terminated buffer of at least n + 1 bytes, zero-filled so
// that a zero byte inside the text ends it. Returns null when the allocation fails.
char* copy_text(const unsigned char* text, int n, int extra) {
  char* s = static_cast<char*>(std::calloc(static_cast<size_t>(n + extra), 1));
  if (s == nullptr) return nullptr;
  const void* zero = std::memchr(text, 0, static_cast<size_t>(n));
  const int used = zero != nullptr ? static_cast<int>(static_cast<const unsigned char*>(zero) - text) : n;
  std::memcpy(s, text, static_cast<size_t>(used));
  return s;
}

// Where the text of a string token starts and how many bytes it holds; false for other codes.
bool text_span(const unsigned char* p, const unsigned char** text, int* n) {
  const unsigned char c = p[0];
  if (c >= kTokShortStrFirst && c <= kTokShortStrLast) {
    *text = p + 1;
    *n = c - 127;
    return true;
  }
  if (c >= kTokTinyStrFirst && c <= kTokTinyStrLast) {
    *text = p + 1;
    *n = c - 191;
    return true;
  }
  if (c == kTokLongStr) {
    *text = p + 2;
    *n = p[1] + 1;
    return true;
  }
  return false;
}

// Shared body of both single-value decoders once the token is known to be whole.
int decode_value(const unsigned char* token, int* type, w_value* value) {
  const unsigned char c = token[0];
  if (c >= kTokFirstInvalid) return 0;
  const unsigned char* text = nullptr;
  int n = 0;
  if (text_span(token, &text, &n)) {
    *type = W_VALUE_STRING;
    value->s = copy_text(text, n, 4);
    return value->s != nullptr ? 1 : -9;
  }
  if (c <= kTokSmallIntLast) {
    *type = W_VALUE_INT;
    value->i = c;
    return 1;
  }
  if (c <= kTokOffsetIntLast) {
    *type = W_VALUE_INT;
    value->i = c - 63;
    return 1;
  }
  switch (c) {
    case kTokEmptyStr:
      *type = W_VALUE_STRING;
      value->s = nullptr;
      return 1;
    case kTokInt16:
    case kTokInt16Alt:
      *type = W_VALUE_INT;
      value->i = be16_signed(token + 1);
      return 1;
    case kTokInt32:
      *type = W_VALUE_INT;
      value->i = static_cast<int32_t>(get_be32(token + 1));
      return 1;
    case kTokFloat:
    case kTokFloatAlt: {
      const uint32_t bits = get_be32(token + 1);
      *type = W_VALUE_FLOAT;
      std::memcpy(&value->f, &bits, sizeof bits);
      return 1;
    }
    case kTokNodeHash:
      *type = W_VALUE_HASH;
      value->hash = get_be32(token + 1);
      return 1;
    case kTokToggle:
      *type = W_VALUE_INT;
      value->i = 1;
      return 1;
    case kTokByte:
      *type = W_VALUE_INT;
      value->i = token[1];
      return 1;
    default:
      return 0;
  }
}

}  // namespace

int wTokenLength(const unsigned char* token, int length) { return mixlink::values::token_length(token, length); }

int wParesToValue(const unsigned char* token, int* type, w_value* value) {
  return decode_value(token, type, value);
}

int wParesToValueBounded(const unsigned char* token, int length, int* type, w_value* value) {
  if (wTokenLength(token, length) == 0) return 0;
  return decode_value(token, type, value);
}

int wParseToTV(const unsigned char* block, int position, w_token_value* record, int length) {
  if (position < 0) return 0;
  const unsigned char* p = block + position;
  int width = 0;
  if (length >= 0) {
    if (position >= length) return 0;
    width = mixlink::values::token_length(p, length - position);
  } else {
    width = mixlink::values::announced_length(p);
  }
  if (width == 0) return 0;

  const unsigned char c = p[0];
  const unsigned char* text = nullptr;
  int n = 0;
  if (text_span(p, &text, &n)) {
    record->type = W_VALUE_STRING;
    record->value.s = copy_text(text, n, 1);
    if (record->value.s == nullptr) return -9;
    return position + width;
  }
  if (c <= kTokSmallIntLast) {
    record->type = W_VALUE_INT;
    record->value.i = c;
  } else if (c <= kTokOffsetIntLast) {
    // The stream decoder reads these codes as -63 to 0, unlike the single-value decoder.
    record->type = W_VALUE_INT;
    record->value.i = c - 127;
  } else if (c == kTokNodeHash) {
    // In a stream a hash value is carried as a plain 32-bit integer.
    record->type = W_VALUE_INT;
    record->value.i = static_cast<int32_t>(get_be32(p + 1));
  } else {
    decode_value(p, &record->type, &record->value);
  }
  return position + width;
}

int wParseDefinitionReply(const unsigned char* block, int length, uint32_t hash,
                          const unsigned char** data, int* data_length) {
  if (block == nullptr || length < 1 || block[0] != kDefinitionReply) return 0;
  uint32_t found = 0;
  uint32_t announced = 0;
  const int header = mixlink::values::definition_header(block, length, &found, &announced);
  if (header == 0 || found != hash) return 0;
  // One block on its own: the definition is the rest of it.
  *data = block + header;
  *data_length = length - header;
  return 1;
}
