// Container and raw reads on the open connection: send one request, gather the reply however
// the network splits it, then hand the bytes to the pure walks.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace mixlink;

namespace {

constexpr int kBytesPerLeaf = 10;
constexpr int kReplySlack = 256;
// wRecv drops a block that does not fit, and one call may drain everything the socket holds:
// keep this much room beyond the estimate so long strings never cost the reply.
constexpr int kReceiveMargin = 64 * 1024;
constexpr int kMoreWaitUs = 1000000;  // the longest pause between two blocks of one reply
constexpr int kRawReceives = 50;
constexpr int kEntryHeader = 5;

uint32_t be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint32_t first_leaf_hash(uint32_t token) {
  for (uint32_t t = token; t < static_cast<uint32_t>(wds_imax); ++t)
    if (wingdataset[t].type >= W_INTEGER) return wingdataset[t].hash;
  return 0;
}

int send_read(uint32_t hash) {
  // Room for the escapes wSend may insert in place.
  unsigned char request[12] = {kTokNodeHash, static_cast<unsigned char>(hash >> 24),
                               static_cast<unsigned char>(hash >> 16),
                               static_cast<unsigned char>(hash >> 8),
                               static_cast<unsigned char>(hash), kReqValue};
  return wSend(kValueChannel, request, 6);
}

// The receive buffer of the last container read, kept for the next one (reads share the one
// connection, so there is never more than one in use): a program that reads a large container
// again and again would otherwise allocate, fault in and give back the same pages every time.
// Buffers above kKeptBytes are released rather than kept.
constexpr int kKeptBytes = 4 << 20;
unsigned char* g_kept = nullptr;
int g_kept_size = 0;

struct Reply {
  unsigned char* data = nullptr;
  int size = 0;
  int used = 0;   // bytes received
  int begin = 0;  // where the reply's first entry starts (foreign entries before it skipped)
  int end = 0;    // after the last whole entry counted
  int count = 0;  // whole entries counted
  unsigned char bad = 0;  // the byte found where an entry had to start
  Reply() : data(g_kept), size(g_kept_size) {
    g_kept = nullptr;
    g_kept_size = 0;
  }
  ~Reply() {
    if (size > kKeptBytes || g_kept != nullptr) {
      std::free(data);
      return;
    }
    g_kept = data;
    g_kept_size = size;
  }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;

  bool reserve(long room) {
    if (size - used >= room) return true;
    const long want = used + room;
    if (want > INT_MAX) return false;
    auto* grown = static_cast<unsigned char*>(std::realloc(data, static_cast<size_t>(want)));
    if (grown == nullptr) return false;
    data = grown;
    size = static_cast<int>(want);
    return true;
  }
};

enum class Gather { Complete, Short, Malformed, ReceiveFailed, NoMemory };

// Receives until the entries of all `leaves` leaves have arrived. The first block may wait
// without limit, as every read on this connection does; later ones at most kMoreWaitUs.
// Bytes in front of the reply are skipped; if the reply never shows, it is malformed.
Gather gather_reply(Reply& r, int leaves, uint32_t first_hash) {
  bool started = false;
  for (int block = 0; r.count < leaves; ++block) {
    const long room = static_cast<long>(leaves - r.count) * kBytesPerLeaf + kReplySlack + kReceiveMargin;
    if (!r.reserve(room)) return Gather::NoMemory;
    const int n = wRecv(r.data + r.used, r.size - r.used, block == 0 ? 0 : kMoreWaitUs);
    if (n < 0 || (n == 0 && block == 0)) return block == 0 ? Gather::ReceiveFailed : Gather::Short;
    if (n == 0 && !started && r.used > 0) return Gather::Malformed;  // r.bad: the first byte seen
    if (n == 0) return Gather::Short;
    r.used += n;
    // The reply is known by its first leaf: bytes in front of it (the rest of an earlier reply
    // the network split, or events) are skipped.
    for (int p = r.begin; !started && p + kEntryHeader <= r.used; ++p) {
      if (r.data[p] == kTokNodeHash && be32(r.data + p + 1) == first_hash) {
        started = true;
        r.begin = r.end = p;
      }
    }
    if (!started) {
      if (block == 0) r.bad = r.data[0];
      // Foreign traffic only so far: keep just a possible start of the first entry, so a console
      // that streams events and never answers costs neither memory nor an endless wait.
      const int keep = r.used < kEntryHeader - 1 ? r.used : kEntryHeader - 1;
      std::memmove(r.data, r.data + r.used - keep, static_cast<size_t>(keep));
      r.used = keep;
      r.begin = 0;
      if (block + 1 >= kRawReceives) return Gather::Malformed;
      continue;
    }
    int end = 0;
    const int c = wCountReplyEntries(r.data + r.end, r.used - r.end, leaves - r.count, &end);
    if (c < 0) {
      r.bad = r.data[r.end + end];
      r.end += end;
      return Gather::Malformed;
    }
    r.count += c;
    r.end += end;
  }
  // A container reply ends with one byte after its entries; when the network held it back, take
  // it now so that it does not open the next reply on the connection.
  if (r.used == r.end && r.reserve(kReplySlack)) wRecv(r.data + r.used, r.size - r.used, kMoreWaitUs);
  return Gather::Complete;
}

// Reads container token: the checks, the request and the gathering shared by both reads.
// Returns 1 with the reply in r, or the read's failure code (diagnostics written).
int read_container(uint32_t token, const char* caller, Reply& r) {
  const int leaves = wNodeLeafCount(token);
  if (send_read(wingdataset[token].hash) < 4) {
    std::fprintf(stderr, "%s wSend error: %d\n", caller, errno);
    return -4;
  }
  switch (gather_reply(r, leaves, first_leaf_hash(token))) {
    case Gather::Complete: return 1;
    case Gather::NoMemory: return -9;
    case Gather::ReceiveFailed: return -3;
    case Gather::Malformed:
      std::fprintf(stderr, "error in received, expecting 0xd7, got %02x\n", r.bad);
      return -2;
    case Gather::Short:
      std::fprintf(stderr, "%s: reply for %s stopped after %d of %d entries\n", caller,
                   wingdataset[token].path, r.count, leaves);
      return -2;
  }
  return -2;
}

bool is_container(uint32_t token) {
  return token < static_cast<uint32_t>(wds_imax) && wingdataset[token].type == W_CONTAINER;
}

// Receives the raw reply whose first entry carries first_hash into buf; see wGetBinaryNode.
int read_raw(uint32_t token, uint32_t request_hash, unsigned char* buf, int size,
             const char* caller, const char* give_up_name) {
  if (send_read(request_hash) < 4) {
    std::fprintf(stderr, "%s wSend error: %d\n", caller, errno);
    return -4;
  }
  const uint32_t first = first_leaf_hash(token);
  int used = 0;
  bool quiet = false;
  for (int i = 0; i < kRawReceives - 1 && size - used > 0; ++i) {
    const int n = wRecv(buf + used, size - used, used == 0 && i == 0 ? 0 : kMoreWaitUs);
    if (n <= 0) {
      quiet = i > 0 && n == 0;
      if (quiet) break;  // nothing for a whole wait: no reply is coming
      continue;
    }
    used += n;
    // Look for the reply's first entry anywhere in what has come, so foreign bytes in front of
    // it in the same block do not hide it; a partial match at the end is kept for the next block.
    int found = -1, keep = used;
    for (int p = 0; p < used; ++p) {
      if (buf[p] != kTokNodeHash) continue;
      if (used - p < kEntryHeader) {
        keep = p;
        break;
      }
      if (be32(buf + p + 1) == first) {
        found = p;
        break;
      }
    }
    if (found < 0) {
      std::memmove(buf, buf + keep, static_cast<size_t>(used - keep));
      used -= keep;
      continue;
    }
    std::memmove(buf, buf + found, static_cast<size_t>(used - found));
    used -= found;
    // The rest of a reply the network split: until every leaf's entry is in, or a pause.
    const int leaves = wNodeLeafCount(token);
    const bool container = wingdataset[token].type == W_CONTAINER;
    int end = 0;
    while ((wCountReplyEntries(buf, used, leaves, &end) < leaves || (container && end == used)) &&
           size - used > 0) {
      const int more = wRecv(buf + used, size - used, kMoreWaitUs);
      if (more <= 0) break;
      used += more;
    }
    return used;
  }
  // The last of the receives is taken and not examined, so a reply is never looked for in it.
  if (!quiet && size > 0) wRecv(buf, size, kMoreWaitUs);
  std::fprintf(stderr, "Error reading %s %s\n", give_up_name == nullptr ? "node" : "data",
               give_up_name == nullptr ? wingdataset[token].path : give_up_name);
  return 0;
}

}  // namespace

int wGetNode(uint32_t token, char* text, size_t capacity) {
  if (!is_container(token)) return -1;
  w_dump dump;
  if (wDumpStart(&dump, wingdataset[token].path, text, capacity) < 0) return -10;
  Reply r;
  const int got = read_container(token, "wGetNode", r);
  if (got == -4 || got == -9 || got == -3) return got;
  // Whatever whole entries came are shown, also before a failure.
  const int walked = wReplyToDump(r.data + r.begin, r.end - r.begin, &dump);
  if (walked == -10) return -10;
  if (walked < 0) return walked;  // an entry for no leaf: the text stops there, unterminated
  if (wDumpFinish(&dump) < 0) return -10;
  return got;
}

int wGetNodeToTVArray(uint32_t token, w_token_value* records, int capacity) {
  if (!is_container(token)) return -1;
  if (capacity < wNodeLeafCount(token)) return -10;
  Reply r;
  const int got = read_container(token, "wGetNodeToTVArray", r);
  if (got < 0) return got;
  return wReplyToTVArray(r.data + r.begin, r.end - r.begin, records, capacity);
}

int wGetBinaryNode(uint32_t token, unsigned char* buf, int size) {
  if (token >= static_cast<uint32_t>(wds_imax)) return -1;
  return read_raw(token, wingdataset[token].hash, buf, size, "wGetBinaryNode", nullptr);
}

int wGetBinaryData(const char* path, unsigned char* buf, int size) {
  const uint32_t hash = wGetHashFromName(path);
  const uint32_t token = wGetTokenFromHash(hash);
  if (token == 0) return -13;
  return read_raw(token, hash, buf, size, "wGetBinaryData", path);
}
