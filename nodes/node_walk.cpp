// The container reply walk and the subtree shape: pure functions over received bytes and the
// dictionary, shared by the socket reads and fed directly by the tests.
#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

#include <cstdlib>
#include <cstring>

using namespace mixlink;

namespace {

constexpr int kEntryHeader = 5;  // 0xD7 and the 4-byte hash

uint32_t be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Size of the whole entry at buf[pos]: 0 when it has not fully arrived, -2 when no entry starts
// there.
int entry_size(const unsigned char* buf, int length, int pos) {
  if (length - pos <= kEntryHeader) return 0;
  if (buf[pos] != kTokNodeHash) return -2;
  const int n = wTokenLength(buf + pos + kEntryHeader, length - pos - kEntryHeader);
  if (n > 0) return kEntryHeader + n;
  // A code that is no value token takes one byte, as the dump shows it; otherwise the token
  // has only partly arrived.
  return buf[pos + kEntryHeader] >= kTokFirstInvalid ? kEntryHeader + 1 : 0;
}

}  // namespace

uint32_t wNodeSubtreeEnd(uint32_t token) {
  if (token >= static_cast<uint32_t>(wds_imax)) return static_cast<uint32_t>(wds_imax);
  if (wingdataset[token].type >= W_INTEGER) return token + 1;
  // Pre-order: the subtree is the run of rows whose path extends this one by "." and more.
  const char* root = wingdataset[token].path;
  const size_t n = std::strlen(root);
  uint32_t end = token + 1;
  while (end < static_cast<uint32_t>(wds_imax)) {
    const char* p = wingdataset[end].path;
    if (std::strncmp(p, root, n) != 0 || p[n] != '.') break;
    ++end;
  }
  return end;
}

int wNodeLeafCount(uint32_t token) {
  if (token >= static_cast<uint32_t>(wds_imax)) return 0;
  const uint32_t end = wNodeSubtreeEnd(token);
  int leaves = 0;
  for (uint32_t t = token; t < end; ++t) leaves += wingdataset[t].type >= W_INTEGER;
  return leaves;
}

int wCountReplyEntries(const unsigned char* buf, int length, int limit, int* end) {
  int pos = 0;
  int count = 0;
  while (pos < length && count < limit) {
    const int n = entry_size(buf, length, pos);
    if (n < 0) {
      *end = pos;
      return -2;
    }
    if (n == 0) break;
    pos += n;
    ++count;
  }
  *end = pos;
  return count;
}

int wReplyToDump(const unsigned char* buf, int length, w_dump* dump) {
  char value[W_VALUE_TEXT_SIZE];
  int pos = 0;
  int count = 0;
  while (pos < length) {
    if (length - pos == 1) break;  // the byte that ends a reply never starts an entry
    if (buf[pos] != kTokNodeHash || length - pos <= kEntryHeader) return -2;
    const uint32_t token = wGetTokenFromHash(be32(buf + pos + 1));
    if (wGetType(token) < W_INTEGER) return -2;
    const int next = wParseToNode(nullptr, buf, pos + kEntryHeader, value, length);
    if (next <= 0) return -2;
    const int r = wDumpAppend(dump, wGetNameFromToken(token), value);
    if (r < 0) return r;
    ++count;
    pos = next;
  }
  return count;
}

namespace {

// Frees the texts of the first count records, so a failed walk leaves the caller nothing to free.
int drop_texts(w_token_value* records, int count, int result) {
  for (int i = 0; i < count; ++i) {
    if (records[i].type == W_VALUE_STRING) {
      std::free(records[i].value.s);
      records[i].value.s = nullptr;
    }
  }
  return result;
}

int walk_records(const unsigned char* buf, int length, w_token_value* records, int capacity,
                 int* filled) {
  int pos = 0;
  int& count = *filled;
  while (pos < length) {
    if (length - pos == 1) break;
    if (buf[pos] != kTokNodeHash || length - pos <= kEntryHeader) return -2;
    const uint32_t token = wGetTokenFromHash(be32(buf + pos + 1));
    const int type = wGetType(token);
    if (type < W_INTEGER) return -2;
    if (count >= capacity) return -10;
    w_token_value* rec = &records[count];
    rec->token = token;
    rec->type = type;
    const int next = wParseToTV(buf, pos + kEntryHeader, rec, length);
    if (next <= 0) {
      // A code that is not a value token and a token cut off by the end look alike to the parser.
      if (next == 0 && buf[pos + kEntryHeader] < kTokFirstInvalid) return -2;
      return next;
    }
    ++count;
    pos = next;
  }
  return count;
}

}  // namespace

int wReplyToTVArray(const unsigned char* buf, int length, w_token_value* records, int capacity) {
  int filled = 0;
  const int r = walk_records(buf, length, records, capacity, &filled);
  return r > 0 ? r : drop_texts(records, filled, r);
}
