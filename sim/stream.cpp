// SPDX-License-Identifier: MIT
// Splitting a client's framed stream by channel and parsing its requests.
#include "stream.h"

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include <algorithm>

#include "link/wire.h"

using namespace mixlink;

namespace mixsim {

namespace {

bool is_group_code(unsigned char b) { return b >= 0xA0 && b <= 0xAF; }

// The trailer that follows a subscription and a renewal: the data bytes 0xDF 0xD1, a channel-1
// select sent escaped so that it does not switch the channel.
constexpr unsigned char kTrailerSecond = kSelectFirst + kValueChannel;
// A subscription lists at most 29 group codes and 232 items; anything longer is junk.
constexpr size_t kMaxSubscriptionList = 300;

// Parses channel 1's pending bytes; consumed bytes are erased, an incomplete request waits.
void parse_value_channel(client_stream& st, std::vector<sim_request>& out) {
  std::string& p = st.pending[0];
  const auto* b = reinterpret_cast<const unsigned char*>(p.data());
  const size_t n = p.size();
  size_t pos = 0;
  while (pos < n) {
    const unsigned char c = b[pos];
    if (c == kTokNodeHash) {
      if (n - pos < static_cast<size_t>(wire::kRequestLength)) break;
      const unsigned char code = b[pos + wire::kEntryHeader];
      if (code == kReqValue || code == kReqDefinition) {
        sim_request r;
        r.kind = code == kReqValue ? sim_request::value : sim_request::definition;
        r.hash = wire::entry_hash(b + pos);
        out.push_back(std::move(r));
        pos += wire::kRequestLength;
        continue;
      }
    } else if (c == kMapSizeRequest) {
      if (n - pos < 2) break;
      if (b[pos + 1] == kReqValue) {
        sim_request r;
        r.kind = sim_request::map_size;
        out.push_back(std::move(r));
        pos += 2;
        continue;
      }
    }
    // Not the start of a request: skip one byte and look again from the next.
    ++st.dropped;
    ++pos;
  }
  p.erase(0, pos);
}

// Length of the trailer 0xDF 0xD1 at b[at] (2), 0 when another byte stands there (a client
// that left it out), -1 when the bytes have not arrived yet.
int trailer_at(const unsigned char* b, size_t n, size_t at) {
  if (at >= n) return -1;
  if (b[at] != kEscape) return 0;
  if (at + 1 >= n) return -1;
  return b[at + 1] == kTrailerSecond ? 2 : 0;
}

// Parses channel 3's pending bytes like parse_value_channel. The search for a subscription's
// list end only moves forward, within this call and across calls (st.list_searched), so the work
// stays linear in the bytes received however the list arrives.
void parse_meter_channel(client_stream& st, std::vector<sim_request>& out) {
  std::string& p = st.pending[1];
  const auto* b = reinterpret_cast<const unsigned char*>(p.data());
  const size_t n = p.size();
  size_t pos = 0;
  // No list end lies in [the list start being searched, search); search is a list end, n, or the
  // point where a list grew too long.
  size_t search = st.list_searched;
  while (pos < n) {
    const unsigned char c = b[pos];
    if (c == kMeterPortCommand) {
      if (n - pos < 3) break;
      sim_request r;
      r.kind = sim_request::meter_port;
      r.port = static_cast<int>(wire::get_be16(b + pos + 1));
      out.push_back(std::move(r));
      pos += 3;
      continue;
    }
    if (c == kMeterSubscribe) {
      if (n - pos < 6) break;
      sim_request r;
      r.id = static_cast<int32_t>(wire::get_be32(b + pos + 1));
      if (b[pos + 5] == kMeterListStart) {
        const size_t limit = std::min(n, pos + kMaxSubscriptionList);
        search = std::max(search, pos + 6);
        while (search < limit && b[search] != kMeterListEnd) ++search;
        if (search >= pos + kMaxSubscriptionList) {  // no list end in sight: not a subscription
          ++st.dropped;
          ++pos;
          continue;
        }
        if (search >= n) break;
        const size_t end = search;
        const int t = trailer_at(b, n, end + 1);
        if (t < 0) break;
        r.kind = sim_request::subscribe;
        int group = -1;
        for (size_t i = pos + 6; i < end; ++i) {
          if (is_group_code(b[i])) {
            group = b[i];
          } else if (group >= 0) {
            r.items.emplace_back(static_cast<unsigned char>(group), b[i]);
          }
        }
        out.push_back(std::move(r));
        pos = end + 1 + static_cast<size_t>(t);
        continue;
      }
      const int t = trailer_at(b, n, pos + 5);
      if (t < 0) break;
      r.kind = sim_request::renew;
      out.push_back(std::move(r));
      pos += 5 + static_cast<size_t>(t);
      continue;
    }
    ++st.dropped;
    ++pos;
  }
  p.erase(0, pos);
  st.list_searched = search > pos ? search - pos : 0;
}

// Hands count decoded bytes of the current channel to that channel's parser; bytes of any other
// channel are dropped.
void take(client_stream& st, const unsigned char* bytes, int count, std::vector<sim_request>& out) {
  const int slot = st.channel == kValueChannel ? 0 : st.channel == kMeterChannel ? 1 : -1;
  if (slot < 0) {
    st.dropped += count;
    return;
  }
  // Only the channel that grew is parsed: the other holds at most one unfinished request.
  st.pending[slot].append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
  if (slot == 0) parse_value_channel(st, out);
  else parse_meter_channel(st, out);
}

}  // namespace

int sim_feed(client_stream& st, const unsigned char* data, int length, std::vector<sim_request>& out) {
  if (data == nullptr || length <= 0) return 0;
  const size_t before = out.size();
  // The library's escape decoder stops in front of each channel select, so every run it writes
  // belongs to the channel the state holds when it returns.
  std::vector<unsigned char> run(static_cast<size_t>(length) + 1);
  for (int at = 0; at < length;) {
    int written = 0;
    at += wDecodeEscapeRun(&st, data + at, length - at, run.data(), &written);
    if (written > 0) take(st, run.data(), written, out);
  }
  for (std::string& p : st.pending) {
    if (p.size() > kMaxPendingBytes) {
      st.dropped += static_cast<long>(p.size());
      p.clear();
    }
  }
  if (st.pending[1].empty()) st.list_searched = 0;
  return static_cast<int>(out.size() - before);
}

}  // namespace mixsim
