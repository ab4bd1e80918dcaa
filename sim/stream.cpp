// Splitting a client's framed stream by channel and parsing its requests.
#include "stream.h"

#include <mixlink/link.h>
#include <mixlink/protocol.h>

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

void parse_meter_channel(client_stream& st, std::vector<sim_request>& out) {
  std::string& p = st.pending[1];
  const auto* b = reinterpret_cast<const unsigned char*>(p.data());
  const size_t n = p.size();
  size_t pos = 0;
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
        size_t end = pos + 6;
        while (end < n && b[end] != kMeterListEnd && end - pos < kMaxSubscriptionList) ++end;
        if (end - pos >= kMaxSubscriptionList) {  // no list end in sight: not a subscription
          ++st.dropped;
          ++pos;
          continue;
        }
        if (end >= n) break;
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
}

// Un-escapes one run of raw bytes that holds no channel select and appends it to the current
// channel. guard: the run ends in an 0xDF that stands before a further 0xDF, so it is a data byte.
void take_run(client_stream& st, const unsigned char* run, size_t length, bool guard) {
  if (length == 0) return;
  std::string tmp(reinterpret_cast<const char*>(run), length);
  if (guard) tmp.push_back(static_cast<char>(kEscapedEscape));
  int ch = st.channel;
  const int n = wDecodeEscapes(reinterpret_cast<unsigned char*>(tmp.data()), static_cast<int>(tmp.size()), &ch);
  const int slot = st.channel == kValueChannel ? 0 : st.channel == kMeterChannel ? 1 : -1;
  if (slot < 0) {
    st.dropped += n;
    return;
  }
  st.pending[slot].append(tmp.data(), static_cast<size_t>(n));
}

}  // namespace

int sim_feed(client_stream& st, const unsigned char* data, int length, std::vector<sim_request>& out) {
  if (data == nullptr || length <= 0) return 0;
  const size_t before = out.size();
  std::string buf;
  buf.reserve(static_cast<size_t>(length) + 1);
  if (st.escape_pending) buf.push_back(static_cast<char>(kEscape));
  buf.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  st.escape_pending = false;

  const auto* b = reinterpret_cast<const unsigned char*>(buf.data());
  const size_t n = buf.size();
  size_t start = 0;
  auto flush = [&](size_t end) {
    take_run(st, b + start, end - start, end > start && b[end - 1] == kEscape);
    parse_value_channel(st, out);
    parse_meter_channel(st, out);
  };
  for (size_t i = 0; i + 1 < n; ++i) {
    if (b[i] == kEscape && is_select(b[i + 1])) {
      flush(i);
      st.channel = b[i + 1] - kSelectFirst;
      start = i + 2;
      ++i;
    }
  }
  if (start < n && b[n - 1] == kEscape) {
    // The byte after this escape decides what it is; keep it for the next read.
    flush(n - 1);
    st.escape_pending = true;
  } else {
    flush(n);
  }
  for (std::string& p : st.pending) {
    if (p.size() > kMaxPendingBytes) {
      st.dropped += static_cast<long>(p.size());
      p.clear();
    }
  }
  return static_cast<int>(out.size() - before);
}

}  // namespace mixsim
