// SPDX-License-Identifier: MIT
// The receive stream and the reassembly of replies: whatever a console sends and wherever the
// network cuts it, the stream decodes it as the byte rules decode the whole, and a read that
// takes its replies or events out of the stream as the pieces come finds exactly what it finds
// when everything comes at once, leaving the same bytes behind. A definition, which ends with its
// received block, stays within the bytes however they come.
// Input: the feeding byte, a byte choosing the read and its budget, then the wire bytes.
#include <mixlink/dictionary.h>
#include <mixlink/protocol.h>
#include <mixlink/values.h>

#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "link/rx_stream.h"
#include "link/wire.h"
#include "values/reassembly.h"

using namespace mixlink;
using mixlink::detail::rx_stream;

namespace {

// The receiving side's rules one byte at a time, over the whole stream.
std::string reference_decode(const uint8_t* in, size_t n, int channel) {
  std::string out;
  bool escaped = false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = in[i];
    if (!escaped) {
      if (b == kEscape) escaped = true;
      else if (channel >= 0) out += static_cast<char>(b);
    } else if (b == kEscape) {
      if (channel >= 0) out += static_cast<char>(kEscape);
    } else if (b == kEscapedEscape || b < kSelectFirst || b > kSelectLast) {
      escaped = false;
      if (channel >= 0) {
        out += static_cast<char>(kEscape);
        if (b != kEscapedEscape) out += static_cast<char>(b);
      }
    } else {
      escaped = false;
      channel = b - kSelectFirst;
      out += static_cast<char>(b);
    }
  }
  return out;
}

// What a read found, written down so that two feedings can be compared.
using Findings = std::vector<std::string>;

std::string bytes_of(const unsigned char* p, int n) { return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)); }

// The event read: walks what is whole, budget records at a time, as wGetParsedEventsTimed does.
void read_events(rx_stream& s, int budget, Findings& out) {
  for (;;) {
    w_token_value rec[8];
    int used = 0;
    values::walk_end end = values::walk_end::bytes;
    const int k = values::walk_events(s.data(), s.size(), rec, budget, &s.owed(), &used, &end);
    FUZZ_CHECK(used >= 0 && used <= s.size());
    for (int i = 0; i < k; ++i) {
      std::string r = "event " + std::to_string(rec[i].token) + " " + std::to_string(rec[i].type) + " ";
      if (rec[i].type == W_VALUE_STRING) {
        r += rec[i].value.s != nullptr ? rec[i].value.s : "(empty)";
        std::free(rec[i].value.s);
      } else {
        r += std::to_string(rec[i].value.i);
      }
      out.push_back(r);
    }
    s.consume(used);
    if (k == 0 && end == values::walk_end::bad_value) {
      out.push_back("bad value");
      s.consume(wire::kEntryHeader + 1);
      continue;
    }
    FUZZ_CHECK(end != values::walk_end::no_memory);
    if (k == 0) return;
  }
}

// The value read of one node, over and over: each reply, no-value reply or other node's entry it
// meets, as a raw read or a converting read meets them.
void read_values(rx_stream& s, uint32_t hash, bool end_on_other, Findings& out) {
  for (;;) {
    const values::value_find f = values::find_value_reply(s.data(), s.size(), hash, end_on_other, &s.owed());
    FUZZ_CHECK(f.used >= 0 && f.used <= s.size());
    if (f.kind != values::value_find::more) {
      FUZZ_CHECK(f.at >= 0 && f.at + f.size == f.used);
      out.push_back(std::to_string(f.kind) + " " + bytes_of(s.data() + f.at, f.size));
    }
    s.consume(f.used);
    if (f.kind == values::value_find::more) return;
  }
}

void read_definitions(rx_stream& s, uint32_t hash, Findings& out) {
  for (;;) {
    int header = 0, length = 0, used = 0;
    const int at = values::find_definition_reply(s.data(), s.size(), s.block_ends(), s.block_end_count(), hash,
                                                 true, &header, &length, &used);
    FUZZ_CHECK(used >= 0 && used <= s.size());
    s.consume(used);
    if (at < 0) return;
    FUZZ_CHECK(at == used && length >= 0 && header + length <= s.size());
    out.push_back("definition " + bytes_of(s.data() + header, length));
    s.consume(header + length);
  }
}

void read_reply_starts(rx_stream& s, uint32_t hash, Findings& out) {
  for (;;) {
    int used = 0;
    const int at = values::find_reply_start(s.data(), s.size(), hash, &s.owed(), &used);
    FUZZ_CHECK(used >= 0 && used <= s.size());
    s.consume(used);
    if (at < 0) return;
    const values::entry_scan e = values::next_entry(s.data(), s.size(), 0);
    FUZZ_CHECK(e.at == 0);
    if (e.size == 0) return;  // the first entry is still coming
    out.push_back("start " + bytes_of(s.data(), e.size > 0 ? e.size : 1));
    s.consume(e.size > 0 ? e.size : 1);
  }
}

struct Outcome {
  Findings findings;
  std::string left;  // the decoded bytes no read took
  int channel;
};

Outcome feed(const std::vector<size_t>& plan, const uint8_t* body, uint8_t choice, uint32_t hash, int channel) {
  rx_stream s;
  s.owed().add(hash ^ 1, INT64_MAX);  // a reply some earlier read gave up on
  Outcome o{{}, {}, channel};
  size_t at = 0;
  for (size_t piece : plan) {
    mixfuzz::ExactBuffer chunk(body + at, piece);
    FUZZ_CHECK(s.feed(chunk.data(), chunk.size(), &o.channel) >= 0);
    at += piece;
    switch (choice % 4) {
      case 0: read_events(s, 1 + (choice >> 2) % 8, o.findings); break;
      case 1: read_values(s, hash, (choice & 4) != 0, o.findings); break;
      case 2: read_definitions(s, hash, o.findings); break;
      default: read_reply_starts(s, hash, o.findings); break;
    }
  }
  o.left = bytes_of(s.data(), s.size());
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 8192) return 0;
  const uint8_t mode = data[0];
  const uint8_t choice = data[1];
  const uint8_t* body = data + 2;
  const size_t len = size - 2;
  const int channel = (mode & 0x80) ? -1 : 1;

  // Decoding: any cut gives the whole stream's bytes and channel.
  {
    rx_stream s;
    int ch = channel;
    size_t at = 0;
    for (size_t piece : mixfuzz::feeding_plan(mode, len)) {
      mixfuzz::ExactBuffer chunk(body + at, piece);
      s.feed(chunk.data(), chunk.size(), &ch);
      at += piece;
    }
    FUZZ_CHECK(bytes_of(s.data(), s.size()) == reference_decode(body, len, channel));
  }

  // The node a read looks for: the one of the first entry in the decoded stream, so that the
  // finding paths are reached.
  const std::string decoded = reference_decode(body, len, channel);
  uint32_t hash = 0xC9CB20E0;
  const size_t d7 = decoded.find(static_cast<char>(kTokNodeHash));
  if (d7 != std::string::npos && d7 + 5 <= decoded.size())
    hash = wire::entry_hash(reinterpret_cast<const unsigned char*>(decoded.data()) + d7);
  if ((choice & 0x3) == 2) {
    const size_t df = decoded.find(static_cast<char>(kDefinitionReply));
    uint32_t h = 0, n = 0;
    if (df != std::string::npos &&
        values::definition_header(reinterpret_cast<const unsigned char*>(decoded.data()) + df,
                                  static_cast<int>(decoded.size() - df), &h, &n) > 0)
      hash = h;
  }

  const Outcome whole = feed({len}, body, choice, hash, channel);
  for (const auto& plan : {mixfuzz::feeding_plan(mode, len), std::vector<size_t>(len, 1)}) {
    const Outcome cut = feed(plan, body, choice, hash, channel);
    // A definition runs to the end of its received block, so where the pieces end decides it.
    if ((choice & 0x3) == 2) continue;
    FUZZ_CHECK(cut.findings == whole.findings);
    FUZZ_CHECK(cut.left == whole.left);
    FUZZ_CHECK(cut.channel == whole.channel);
  }
  return 0;
}
