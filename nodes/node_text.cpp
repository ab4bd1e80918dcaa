// Value text of one token and the relative-name composition of a container dump.
// Pure: no sockets, no dictionary, no allocation.
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

#include <climits>
#include <cstdio>
#include <cstring>

using namespace mixlink;

namespace {

uint32_t be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

float be_float(const unsigned char* p) {
  const uint32_t bits = be32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Copies n text bytes up to the first NUL, then the comma.
void put_text(char* text, const unsigned char* from, int n) {
  int i = 0;
  while (i < n && from[i] != 0) {
    text[i] = static_cast<char>(from[i]);
    ++i;
  }
  text[i] = ',';
  text[i + 1] = '\0';
}

int count_dots(const char* s) {
  int n = 0;
  for (; *s; ++s) n += *s == '.';
  return n;
}

// Length of the text before the last ".", or 0 when there is none.
size_t parent_length(const char* s) {
  const char* dot = std::strrchr(s, '.');
  return dot ? static_cast<size_t>(dot - s) : 0;
}

}  // namespace

int wParseToNode(void*, const unsigned char* buf, int position, char* text, int length) {
  text[0] = '\0';
  const bool checked = length >= 0;
  if (position < 0 || (checked && position >= length)) return 0;
  const unsigned char* p = buf + position;
  const unsigned char c = p[0];
  if (c >= kTokFirstInvalid) return position + 1;  // not a value token: nothing to show
  const int size = wTokenLength(p, checked ? length - position : INT_MAX);
  if (size == 0) return 0;  // the token runs past the data

  if (c <= kTokSmallIntLast) {
    std::snprintf(text, W_VALUE_TEXT_SIZE, "%i,", c);
  } else if (c <= kTokOffsetIntLast) {
    std::snprintf(text, W_VALUE_TEXT_SIZE, "%i,", c - 127);
  } else if (c <= kTokTinyStrLast) {
    put_text(text, p + 1, size - 1);
  } else {
    switch (c) {
      case kTokEmptyStr: std::snprintf(text, W_VALUE_TEXT_SIZE, "\"\","); break;
      case kTokLongStr: put_text(text, p + 2, size - 2); break;
      case kTokInt16:
      case kTokInt16Alt:
        std::snprintf(text, W_VALUE_TEXT_SIZE, "%i,", static_cast<int16_t>((p[1] << 8) | p[2]));
        break;
      case kTokInt32:
        std::snprintf(text, W_VALUE_TEXT_SIZE, "%i,", static_cast<int32_t>(be32(p + 1)));
        break;
      case kTokFloat:
        std::snprintf(text, W_VALUE_TEXT_SIZE, "%.2f,", static_cast<double>(be_float(p + 1)));
        break;
      case kTokFloatAlt:
        std::snprintf(text, W_VALUE_TEXT_SIZE, "%.4f,", static_cast<double>(be_float(p + 1)));
        break;
      case kTokNodeHash: std::snprintf(text, W_VALUE_TEXT_SIZE, "%08x,", be32(p + 1)); break;
      case kTokToggle: std::snprintf(text, W_VALUE_TEXT_SIZE, "toggle,"); break;
      case kTokByte: std::snprintf(text, W_VALUE_TEXT_SIZE, "%i,", p[1]); break;
      default: break;
    }
  }
  return position + size;
}

int wDumpNamePart(const char* previous, const char* path, char* out, int capacity) {
  if (capacity <= 0) return -10;
  const int dp = count_dots(previous);
  const int dq = count_dots(path);
  const size_t lp = std::strlen(previous);
  const size_t lq = std::strlen(path);

  size_t k = 0;
  while (k < lp && k < lq && previous[k] == path[k]) ++k;
  // A prefix that stops inside a component ("ch.1" of "ch.10" and "ch.11") would make the name
  // resume mid-component and read back as another node: count it back to the component start.
  auto inside = [k](const char* s, size_t n) {
    return k > 0 && k < n && s[k - 1] != '.' && s[k] != '.';
  };
  if (inside(path, lq) || inside(previous, lp)) {
    while (k > 0 && path[k - 1] != '.') --k;
  }

  size_t group = k;  // |G|: the common prefix cut at its last "."
  while (group > 0 && path[group - 1] != '.') --group;
  if (group > 0) --group;
  const int r = count_dots(previous + k);

  int dots = 0;
  const char* rest;
  if (dq > dp) {
    dots = r;
    rest = path + k;
  } else if (dq == dp && parent_length(path) == parent_length(previous) &&
             std::strncmp(path, previous, parent_length(path)) == 0) {
    const char* last = std::strrchr(path, '.');
    rest = last ? last + 1 : path;
  } else {
    dots = r > 0 ? r - 1 : 0;
    rest = path + group;
  }
  const size_t need = static_cast<size_t>(dots) + std::strlen(rest);
  if (need + 1 > static_cast<size_t>(capacity)) return -10;
  std::memset(out, '.', static_cast<size_t>(dots));
  std::memcpy(out + dots, rest, std::strlen(rest) + 1);
  return static_cast<int>(need);
}

int wDumpStart(w_dump* dump, const char* container, char* text, size_t capacity) {
  if (capacity == 0) return -10;
  text[0] = '\0';
  dump->text = text;
  dump->capacity = capacity;
  dump->length = 0;
  dump->previous[0] = '\0';
  dump->depth = 0;
  const size_t n = std::strlen(container);
  if (n >= sizeof dump->previous) return -2;
  std::memcpy(dump->previous, container, n + 1);
  dump->depth = count_dots(container);
  return 1;
}

int wDumpAppend(w_dump* dump, const char* path, const char* value) {
  const size_t lq = std::strlen(path);
  if (lq >= sizeof dump->previous) return -2;
  char name[sizeof dump->previous + 8];
  const int n = wDumpNamePart(dump->previous, path, name, static_cast<int>(sizeof name));
  if (n < 0) return n;
  const size_t lv = std::strlen(value);
  const size_t need = static_cast<size_t>(n) + 1 + lv;
  if (dump->length + need + 1 > dump->capacity) return -10;
  char* at = dump->text + dump->length;
  std::memcpy(at, name, static_cast<size_t>(n));
  at[n] = '=';
  std::memcpy(at + n + 1, value, lv + 1);
  dump->length += need;
  std::memcpy(dump->previous, path, lq + 1);
  dump->depth = count_dots(path);
  return 1;
}

int wDumpFinish(w_dump* dump) {
  if (dump->length + 2 > dump->capacity) return -10;
  dump->text[dump->length++] = '\n';
  dump->text[dump->length] = '\0';
  return 1;
}
