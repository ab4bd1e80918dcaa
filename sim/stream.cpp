// Splitting a client's framed stream by channel and parsing its requests.
#include "stream.h"

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include <algorithm>

using namespace mixlink;

namespace mixsim {

namespace {

bool is_select(unsigned char b) { return b >= kSelectFirst && b <= kSelectLast; }

uint32_t be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

bool is_group_code(unsigned char b) { return b >= 0xA0 && b <= 0xAF; }

// The trailer that follows a subscription and a renewal: the data bytes 0xDF 0xD1.
constexpr unsigned char kTrailerSecond = 0xD1;
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
      if (n - pos < 6) break;
      const unsigned char code = b[pos + 5];
      if (code == kReqValue || code == kReqDefinition) {
        sim_request r;
        r.kind = code == kReqValue ? sim_request::value : sim_request::definition;
        r.hash = be32(b + pos + 1);
        out.push_back(std::move(r));
        pos += 6;
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
      r.port = (b[pos + 1] << 8) | b[pos + 2];
      out.push_back(std::move(r));
      pos += 3;
      continue;
    }
    if (c == kMeterSubscribe) {
      if (n - pos < 6) break;
      sim_request r;
      r.id = static_cast<int32_t>(be32(b + pos + 1));
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

// The escape rules, the one place in mixsim that applies them: splits length raw bytes from a
// client into runs of data bytes, each on the channel selected when it arrived, and calls
// run(channel, bytes, count) for each in stream order. The channel and an escape byte that ends
// the block (whose meaning the next byte decides) are kept in st for the next block. scratch is
// working room, reused from call to call.
template <class Run>
void split_channels(client_stream& st, const unsigned char* data, size_t length, std::string& scratch, Run&& run) {
  scratch.clear();
  if (st.escape_pending) scratch.push_back(static_cast<char>(kEscape));
  scratch.append(reinterpret_cast<const char*>(data), length);
  st.escape_pending = false;
  auto* b = reinterpret_cast<unsigned char*>(scratch.data());
  const size_t n = scratch.size();
  // Un-escapes b[start, end), which holds no channel select, in place and hands it on. A run that
  // ends in 0xDF stands before a further 0xDF (an escaped data byte): the 0xDE written over that
  // next byte, which the select search has passed, lets the decoder keep it.
  auto take = [&](size_t start, size_t end) {
    if (end == start) return;
    size_t len = end - start;
    if (b[end - 1] == kEscape) b[len++ + start] = kEscapedEscape;
    int ch = st.channel;
    const int decoded = wDecodeEscapes(b + start, static_cast<int>(len), &ch);
    run(st.channel, b + start, static_cast<size_t>(decoded));
  };
  size_t start = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (b[i] == kEscape && is_select(b[i + 1])) {
      const int next = b[i + 1] - kSelectFirst;
      take(start, i);
      st.channel = next;
      start = i + 2;
      ++i;
    }
  }
  if (start < n && b[n - 1] == kEscape) {
    take(start, n - 1);
    st.escape_pending = true;
  } else {
    take(start, n);
  }
}

}  // namespace

int sim_feed(client_stream& st, const unsigned char* data, int length, std::vector<sim_request>& out) {
  if (data == nullptr || length <= 0) return 0;
  const size_t before = out.size();
  std::string scratch;
  scratch.reserve(static_cast<size_t>(length) + 1);
  split_channels(st, data, static_cast<size_t>(length), scratch, [&](int channel, const unsigned char* bytes, size_t count) {
    const int slot = channel == kValueChannel ? 0 : channel == kMeterChannel ? 1 : -1;
    if (slot < 0) {
      st.dropped += static_cast<long>(count);
      return;
    }
    // Only the channel that grew is parsed: the other holds at most one unfinished request.
    st.pending[slot].append(reinterpret_cast<const char*>(bytes), count);
    if (slot == 0) parse_value_channel(st, out);
    else parse_meter_channel(st, out);
  });
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
