// SPDX-License-Identifier: MIT
// Pipelined value reads: a window of requests in flight at once, each reply matched to its
// request by node hash wherever it turns up in the receive stream. n values then cost about
// n / W_PIPELINE_WINDOW round trips instead of n.
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "link/link_state.h"
#include "link/platform.h"
#include "link/stream.h"
#include "link/wire.h"
#include "reassembly.h"

using namespace mixlink;
namespace detail = mixlink::detail;

namespace {

// An entry whose code is no value token still has its code byte: 0xD7, the hash and that byte.
constexpr int kEntryWithoutValue = wire::kEntryHeader + 1;
// How long the replies a failed read leaves behind stay owed.
constexpr int64_t kOwedUs = 2000000;

// The requests in flight: node hash to the positions in the caller's arrays that wait for it
// (a token the caller names twice waits twice).
using in_flight = std::unordered_multimap<uint32_t, int>;

struct pipeline {
  w_link& link;
  const uint32_t* tokens;
  int n;
  w_token_value* records;
  in_flight waiting;
  int next = 0;     // the next position to ask for
  int settled = 0;  // positions that have their value, or will never get one
  int arrived = 0;  // values taken
  int scanned = 0;  // bytes at the front of the stream known to be someone else's
};

bool readable_leaf(uint32_t token) {
  return token < static_cast<uint32_t>(wds_imax) && wingdataset[token].type != W_CONTAINER;
}

// Sends the requests that fit in the window, all in one send.
int send_window(pipeline& p) {
  std::vector<unsigned char> out;
  int count = 0;
  while (p.next < p.n && static_cast<int>(p.waiting.size()) < W_PIPELINE_WINDOW) {
    const int i = p.next++;
    if (!readable_leaf(p.tokens[i])) {
      ++p.settled;
      continue;
    }
    unsigned char request[wire::kRequestRoom];
    const uint32_t hash = wingdataset[p.tokens[i]].hash;
    const int length = wire::put_request(request, hash, kReqValue);
    out.insert(out.end(), request, request + length);
    p.waiting.emplace(hash, i);
    ++count;
  }
  if (count == 0) return W_SUCCESS;
  const int length = static_cast<int>(out.size());
  // Room for the escapes: at most one byte more for each byte.
  out.resize(out.size() * 2);
  const int sent = wLinkSend(&p.link, kValueChannel, out.data(), length);
  return sent < kEntryWithoutValue ? W_ERR_SEND : W_SUCCESS;
}

// Takes out of the stream every whole reply that a request in flight waits for; leaves events,
// other replies and stray bytes where they are, and an entry cut by the end for the next pass.
int take_replies(pipeline& p) {
  detail::rx_stream& s = p.link.stream;
  int at = p.scanned;
  while (!p.waiting.empty()) {
    const values::entry_scan e = values::next_entry(s.data(), s.size(), at);
    if (e.size == 0) {
      p.scanned = e.at;
      return W_SUCCESS;
    }
    const uint32_t hash = wire::entry_hash(s.data() + e.at);
    const auto found = p.waiting.find(hash);
    if (found == p.waiting.end()) {
      at = e.size < 0 ? e.at + 1 : e.at + e.size;
      continue;
    }
    const int i = found->second;
    p.waiting.erase(found);
    ++p.settled;
    const int size = e.size < 0 ? kEntryWithoutValue : e.size;
    if (e.size > 0) {
      int type = 0;
      w_value value{};
      const int r = wParesToValueBounded(s.data() + e.at + wire::kEntryHeader, e.size - wire::kEntryHeader, &type,
                                         &value);
      if (r == -9) return W_ERR_NO_MEMORY;
      if (r == 1) {
        p.records[i].token = p.tokens[i];
        p.records[i].type = type;
        p.records[i].value = value;
        ++p.arrived;
      }
    }
    s.erase(e.at, size);
    at = e.at;
  }
  p.scanned = at;
  return W_SUCCESS;
}

// The texts of the records filled so far go back when the read fails.
void release_texts(w_token_value* records, int n) {
  for (int i = 0; i < n; ++i) {
    if (records[i].type == W_VALUE_STRING && records[i].value.s != nullptr) std::free(records[i].value.s);
    records[i] = w_token_value{0, 0, {0}};
  }
}

// Replies still on their way are late when they come: a read that meets them within the time the
// pipelined read was willing to wait knows them for that.
void leave_owed(pipeline& p, int64_t until_us) {
  for (const auto& w : p.waiting) p.link.stream.owed().add(w.first, until_us);
}

int fail(pipeline& p, int result) {
  leave_owed(p, detail::monotonic_us() + kOwedUs);
  release_texts(p.records, p.n);
  return result;
}

}  // namespace

int wLinkGetTokensTimed(w_link* link, const uint32_t* tokens, int n, w_token_value* records, int timeout) {
  if (link == nullptr || n < 0 || (n > 0 && (tokens == nullptr || records == nullptr))) return W_ERR_ARGUMENT;
  for (int i = 0; i < n; ++i) records[i] = w_token_value{0, 0, {0}};
  pipeline p{*link, tokens, n, records, {}};
  const detail::deadline d = detail::deadline_or_unlimited(timeout);
  while (p.settled < p.n) {
    if (send_window(p) != W_SUCCESS) return fail(p, W_ERR_SEND);
    const int taken = take_replies(p);
    if (taken != W_SUCCESS) return fail(p, taken);
    if (p.settled == p.n) break;
    if (p.waiting.empty()) continue;  // every one asked for has come: ask for the next
    const int got = detail::stream_receive(*link, d, 0);
    if (got > 0) continue;
    if (got == detail::kReceiveTimedOut) break;
    if (got == detail::kReceiveNoMemory) return fail(p, W_ERR_NO_MEMORY);
    return fail(p, W_ERR_RECEIVE);
  }
  leave_owed(p, detail::monotonic_us() + (timeout > 0 ? timeout : kOwedUs));
  return p.arrived;
}
