// SPDX-License-Identifier: MIT
// Container and raw reads on the open connection: send one request, gather the reply in the
// receive stream however the network splits it, then hand the bytes to the pure walks.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>

#include <climits>
#include <cstring>

#include "link/diagnostics.h"
#include "link/link_state.h"
#include "link/platform.h"
#include "link/stream.h"
#include "link/wire.h"
#include "values/reassembly.h"

using namespace mixlink;
namespace detail = mixlink::detail;

namespace {

constexpr int kBytesPerLeaf = 10;
constexpr int kReplySlack = 256;
constexpr int kMoreWaitUs = 1000000;  // the longest pause between two blocks of one reply
constexpr int kRawReceives = 50;      // receives an untimed read waits through for its reply to start
constexpr int kFewestSent = 4;

uint32_t first_leaf_hash(uint32_t token) {
  for (uint32_t t = token; t < static_cast<uint32_t>(wds_imax); ++t)
    if (wingdataset[t].type >= W_INTEGER) return wingdataset[t].hash;
  return 0;
}

int send_read(w_link& link, uint32_t hash) {
  unsigned char request[wire::kRequestRoom];
  return wLinkSend(&link, kValueChannel, request, wire::put_request(request, hash, kReqValue));
}

enum class Gather { Complete, Short, Malformed, NoReply, TimedOut, ReceiveFailed, NoMemory };

// Where a gathered reply lies at the front of the stream.
struct Reply {
  int entries = 0;  // bytes of the whole entries counted
  int end = 0;      // bytes the reply takes: its entries, and the closing byte once it came
  int count = 0;    // whole entries counted
  unsigned char bad = 0;  // the byte found where an entry had to start
};

// Gathers in the stream the reply whose first entry is first_hash's, until the entries of all
// `leaves` leaves are in, and then (closing_byte) the byte that ends a container's reply. Anything
// in front of the reply is passed over. Without a deadline the first wait has no limit and the
// reply must start within kRawReceives receives; a pause of a second inside the reply ends it
// short; the deadline, when there is one, ends everything.
Gather gather_reply(w_link& link, uint32_t first_hash, int leaves, bool closing_byte, const detail::deadline& d, Reply& r) {
  detail::rx_stream& s = link.stream;
  for (int receives = 0; leaves > 0; ++receives) {
    int used = 0;
    s.owed().expire(detail::monotonic_us());
    const int at = values::find_reply_start(s.data(), s.size(), first_hash, &s.owed(), &used);
    s.consume(used);
    if (at >= 0) break;
    if (d.unlimited && receives >= kRawReceives) return Gather::NoReply;
    const detail::deadline wait = !d.unlimited || receives == 0 ? d : detail::deadline_after(kMoreWaitUs);
    const int got = detail::stream_receive(link, wait, 0);
    if (got > 0) continue;
    if (got == detail::kReceiveTimedOut) return d.unlimited ? Gather::NoReply : Gather::TimedOut;
    return got == detail::kReceiveNoMemory ? Gather::NoMemory : Gather::ReceiveFailed;
  }
  while (r.count < leaves) {
    int end = 0;
    const int c = wCountReplyEntries(s.data() + r.entries, s.size() - r.entries, leaves - r.count, &end);
    if (c < 0) {
      r.end = r.entries + end;
      r.bad = s.data()[r.end];
      return Gather::Malformed;
    }
    r.count += c;
    r.entries += end;
    r.end = r.entries;
    if (r.count == leaves) break;
    const long rest = static_cast<long>(leaves - r.count) * kBytesPerLeaf + kReplySlack;
    const int got = detail::stream_receive(link, detail::earlier(d, kMoreWaitUs), rest < INT_MAX ? static_cast<int>(rest) : INT_MAX);
    if (got > 0) continue;
    if (got == detail::kReceiveTimedOut && detail::passed(d)) return Gather::TimedOut;
    return got == detail::kReceiveNoMemory ? Gather::NoMemory : Gather::Short;
  }
  if (closing_byte) {
    // The console ends a container's reply with one byte after its entries; take it so that it
    // does not open the next read. An entry standing there instead is left alone.
    if (s.size() == r.end) detail::stream_receive(link, detail::earlier(d, kMoreWaitUs), 0);
    if (s.size() > r.end && s.data()[r.end] != kTokNodeHash) ++r.end;
  }
  return Gather::Complete;
}

// Reads container token: the request and the gathering shared by both container reads. Returns
// 1 with the reply at the front of the stream (r tells where), 0 when the deadline passed, or the
// read's failure code (diagnostics written). The caller consumes r.end bytes when done.
int read_container(w_link& link, uint32_t token, const char* caller, const detail::deadline& d, Reply& r) {
  if (send_read(link, wingdataset[token].hash) < kFewestSent) {
    detail::diagnose(link, "%s wSend error: %d\n", caller, detail::last_socket_error());
    return -4;
  }
  const int leaves = wNodeLeafCount(token);
  switch (gather_reply(link, first_leaf_hash(token), leaves, true, d, r)) {
    case Gather::Complete: return 1;
    case Gather::TimedOut: return 0;
    case Gather::NoMemory: return -9;
    case Gather::ReceiveFailed: return -3;
    case Gather::Malformed:
      ++r.end;  // the reply cannot be walked past that byte
      detail::diagnose(link, "error in received, expecting 0xd7, got %02x\n", r.bad);
      return -2;
    case Gather::NoReply:
      detail::diagnose(link, "%s: no reply for %s\n", caller, wingdataset[token].path);
      return -2;
    case Gather::Short:
      detail::diagnose(link, "%s: reply for %s stopped after %d of %d entries\n", caller, wingdataset[token].path,
                       r.count, leaves);
      return -2;
  }
  return -2;
}

bool is_container(uint32_t token) {
  return token < static_cast<uint32_t>(wds_imax) && wingdataset[token].type == W_CONTAINER;
}

int read_node(w_link& link, uint32_t token, char* text, size_t capacity, const detail::deadline& d) {
  if (!is_container(token)) return -1;
  w_dump dump;
  if (wDumpStart(&dump, wingdataset[token].path, text, capacity) < 0) return -10;
  Reply r;
  const int got = read_container(link, token, "wGetNode", d, r);
  if (got == -4 || got == -9 || got == -3) return got;
  detail::rx_stream& s = link.stream;
  // Whatever whole entries came are shown, also before a failure.
  const int walked = wReplyToDump(s.data(), r.entries, &dump);
  s.consume(r.end);
  if (walked == -10) return -10;
  if (walked < 0) return walked;  // an entry for no leaf: the text stops there, unterminated
  if (wDumpFinish(&dump) < 0) return -10;
  return got;
}

int read_records(w_link& link, uint32_t token, w_token_value* records, int capacity, const detail::deadline& d) {
  if (!is_container(token)) return -1;
  if (capacity < wNodeLeafCount(token)) return -10;
  Reply r;
  const int got = read_container(link, token, "wGetNodeToTVArray", d, r);
  detail::rx_stream& s = link.stream;
  if (got != 1) {
    s.consume(r.end);
    return got;
  }
  const int n = wReplyToTVArray(s.data(), r.entries, records, capacity);
  s.consume(r.end);
  return n;
}

// The raw read of token's reply (request_hash asked for), recognised by the hash of the first leaf
// at or after token; see wGetBinaryNode.
int read_raw(w_link& link, uint32_t token, uint32_t request_hash, unsigned char* buf, int size, const char* caller,
             const char* path, const detail::deadline& d) {
  if (send_read(link, request_hash) < kFewestSent) {
    detail::diagnose(link, "%s wSend error: %d\n", caller, detail::last_socket_error());
    return -4;
  }
  const bool container = wingdataset[token].type == W_CONTAINER;
  const int leaves = container ? wNodeLeafCount(token) : 1;
  Reply r;
  const Gather g = gather_reply(link, first_leaf_hash(token), leaves, container, d, r);
  detail::rx_stream& s = link.stream;
  int result = 0;
  switch (g) {
    case Gather::Complete:
      result = r.end <= size ? r.end : -10;
      if (result > 0) std::memcpy(buf, s.data(), static_cast<size_t>(r.end));
      break;
    case Gather::TimedOut: result = 0; break;
    case Gather::NoMemory: result = -9; break;
    case Gather::ReceiveFailed: result = -3; break;
    case Gather::NoReply:
      detail::diagnose(link, "Error reading %s %s\n", path == nullptr ? "node" : "data",
                       path == nullptr ? wingdataset[token].path : path);
      result = 0;
      break;
    case Gather::Malformed:
      ++r.end;
      detail::diagnose(link, "error in received, expecting 0xd7, got %02x\n", r.bad);
      result = -2;
      break;
    case Gather::Short:
      detail::diagnose(link, "%s: reply for %s stopped after %d of %d entries\n", caller,
                       path == nullptr ? wingdataset[token].path : path, r.count, leaves);
      result = -2;
      break;
  }
  s.consume(r.end);
  return result;
}

int read_binary_data(w_link& link, const char* path, unsigned char* buf, int size, const detail::deadline& d) {
  const uint32_t hash = wGetHashFromName(path);
  const uint32_t token = wGetTokenFromHash(hash);
  if (token == 0) return -13;
  return read_raw(link, token, hash, buf, size, "wGetBinaryData", path, d);
}

}  // namespace

int wLinkGetNode(w_link* link, uint32_t token, char* text, size_t capacity) {
  return link ? read_node(*link, token, text, capacity, detail::deadline{}) : W_ERR_ARGUMENT;
}

int wLinkGetNodeTimed(w_link* link, uint32_t token, char* text, size_t capacity, int timeout) {
  return link ? read_node(*link, token, text, capacity, detail::deadline_or_unlimited(timeout)) : W_ERR_ARGUMENT;
}

int wLinkGetNodeToTVArray(w_link* link, uint32_t token, w_token_value* records, int capacity) {
  return link ? read_records(*link, token, records, capacity, detail::deadline{}) : W_ERR_ARGUMENT;
}

int wLinkGetNodeToTVArrayTimed(w_link* link, uint32_t token, w_token_value* records, int capacity, int timeout) {
  return link ? read_records(*link, token, records, capacity, detail::deadline_or_unlimited(timeout))
              : W_ERR_ARGUMENT;
}

int wLinkGetBinaryNode(w_link* link, uint32_t token, unsigned char* buf, int size) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (token >= static_cast<uint32_t>(wds_imax)) return -1;
  return read_raw(*link, token, wingdataset[token].hash, buf, size, "wGetBinaryNode", nullptr, detail::deadline{});
}

int wLinkGetBinaryNodeTimed(w_link* link, uint32_t token, unsigned char* buf, int size, int timeout) {
  if (link == nullptr) return W_ERR_ARGUMENT;
  if (token >= static_cast<uint32_t>(wds_imax)) return -1;
  return read_raw(*link, token, wingdataset[token].hash, buf, size, "wGetBinaryNode", nullptr,
                  detail::deadline_or_unlimited(timeout));
}

int wLinkGetBinaryData(w_link* link, const char* path, unsigned char* buf, int size) {
  return link ? read_binary_data(*link, path, buf, size, detail::deadline{}) : W_ERR_ARGUMENT;
}

int wLinkGetBinaryDataTimed(w_link* link, const char* path, unsigned char* buf, int size, int timeout) {
  return link ? read_binary_data(*link, path, buf, size, detail::deadline_or_unlimited(timeout)) : W_ERR_ARGUMENT;
}

int wGetNode(uint32_t token, char* text, size_t capacity) { return wLinkGetNode(wLinkDefault(), token, text, capacity); }

int wGetNodeTimed(uint32_t token, char* text, size_t capacity, int timeout) {
  return wLinkGetNodeTimed(wLinkDefault(), token, text, capacity, timeout);
}

int wGetNodeToTVArray(uint32_t token, w_token_value* records, int capacity) {
  return wLinkGetNodeToTVArray(wLinkDefault(), token, records, capacity);
}

int wGetNodeToTVArrayTimed(uint32_t token, w_token_value* records, int capacity, int timeout) {
  return wLinkGetNodeToTVArrayTimed(wLinkDefault(), token, records, capacity, timeout);
}

int wGetBinaryNode(uint32_t token, unsigned char* buf, int size) {
  return wLinkGetBinaryNode(wLinkDefault(), token, buf, size);
}

int wGetBinaryNodeTimed(uint32_t token, unsigned char* buf, int size, int timeout) {
  return wLinkGetBinaryNodeTimed(wLinkDefault(), token, buf, size, timeout);
}

int wGetBinaryData(const char* path, unsigned char* buf, int size) {
  return wLinkGetBinaryData(wLinkDefault(), path, buf, size);
}

int wGetBinaryDataTimed(const char* path, unsigned char* buf, int size, int timeout) {
  return wLinkGetBinaryDataTimed(wLinkDefault(), path, buf, size, timeout);
}
