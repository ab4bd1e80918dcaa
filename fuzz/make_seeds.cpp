// SPDX-License-Identifier: MIT
// Writes the seed corpus of every harness: replies composed by mixsim's own composers, client
// requests as the library frames them, and tokens from the one encoder.
//   fuzz_make_seeds OUTPUT_DIR      (normally fuzz/corpus)
#include <mixlink/dictionary.h>
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/protocol.h>
#include <mixlink/recording.h>
#include <mixlink/values.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "compose.h"
#include "link/wire.h"
#include "model.h"

namespace fs = std::filesystem;
using Bytes = std::string;

namespace {

fs::path out_root;

void write(const char* harness, const std::string& name, const Bytes& bytes) {
  const fs::path dir = out_root / harness;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

Bytes be32(uint32_t v) {
  unsigned char b[4];
  mixlink::wire::put_be32(b, v);
  return Bytes(reinterpret_cast<const char*>(b), 4);
}

// A payload as wSend puts it on the wire after selecting channel.
Bytes client_send(int channel, const Bytes& payload) {
  std::vector<unsigned char> buf(payload.begin(), payload.end());
  buf.resize(payload.size() * 2 + 2);
  const int n = wSendEscapes(buf.data(), static_cast<int>(payload.size()));
  Bytes out{static_cast<char>(mixlink::kEscape), static_cast<char>(mixlink::kSelectFirst + channel)};
  out.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
  return out;
}

// The container with the fewest leaves above one, so its reply is a small multi-entry seed.
uint32_t small_container() {
  uint32_t best = 0;
  int best_leaves = 1 << 30;
  for (uint32_t t = 1; t < static_cast<uint32_t>(wds_imax); ++t) {
    if (wGetType(t) != 0) continue;
    int leaves = 0;
    for (uint32_t u = t + 1; u < static_cast<uint32_t>(wds_imax) && leaves < 16; ++u) {
      const std::string p = wGetNameFromToken(u);
      const std::string root = wGetNameFromToken(t);
      if (p.compare(0, root.size() + 1, root + ".") != 0) break;
      leaves += wGetType(u) >= 1;
    }
    if (leaves >= 3 && leaves < best_leaves) {
      best = t;
      best_leaves = leaves;
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  out_root = argv[1];
  const mixsim::console_model model(1);
  const auto& examples = model.code_examples();
  const uint32_t box = small_container();
  const Bytes box_reply = mixsim::compose_value_reply(model, wGetHashFromToken(box));

  // Value tokens: one per class the simulator carries, and the encoder's string widths.
  int i = 0;
  Bytes events;
  for (const auto& ex : examples) {
    if (ex.token == 0) continue;
    const Bytes& v = model.value(ex.token);
    write("value_token", "class-" + std::to_string(i), v);
    events += mixsim::compose_entry(model, ex.token);
    ++i;
  }
  for (int len : {1, 16, 17, 64, 65, 256}) {
    unsigned char tok[300];
    const std::string text(static_cast<size_t>(len), 'a');
    const int n = wEncodeString(text.data(), len, tok);
    write("value_token", "string-" + std::to_string(len), Bytes(reinterpret_cast<char*>(tok), static_cast<size_t>(n)));
  }

  // Recordings: three meter datagrams as bandscope records them, then the same cut short.
  {
    Bytes rec(W_PCAP_FILE_HEADER, '\0');
    wPcapWriteFileHeader(reinterpret_cast<unsigned char*>(rec.data()), W_PCAP_FILE_HEADER);
    int16_t bands[mixsim::kRtaBands];
    mixsim::rta_generator rta(1);
    for (int k = 0; k < 3; ++k) {
      rta.frame(k * 0.05, bands);
      const Bytes d = mixsim::compose_meter_datagram(3, {{0xAA, 0}}, bands, k * 0.05, mixsim::meter_shape::normal);
      w_pcap_datagram g{};
      g.seconds = 1700000000;
      g.microseconds = static_cast<uint32_t>(k * 50000);
      g.source = 0x7F000001;
      g.destination = 0x7F000001;
      g.source_port = mixlink::kNativePort;
      g.destination_port = mixlink::kDefaultMeterPort;
      g.length = static_cast<int>(d.size());
      Bytes record(static_cast<size_t>(W_PCAP_RECORD_HEADER + W_PCAP_PACKET_HEADERS) + d.size(), '\0');
      wPcapWriteDatagram(&g, reinterpret_cast<const unsigned char*>(d.data()),
                         reinterpret_cast<unsigned char*>(record.data()), static_cast<int>(record.size()));
      rec += record;
    }
    write("recording", "meters", rec);
    write("recording", "cut", rec.substr(0, rec.size() - 100));
  }

  // Event blocks and container replies: mode byte (whole, then split and byte by byte).
  for (unsigned char mode : {0x7C, 0x7D, 0x42, 0x1F}) {
    const std::string m(1, static_cast<char>(mode));
    write("event_block", "events-" + std::to_string(mode), m + events);
    write("container_reply", "container-" + std::to_string(mode), m + box_reply);
    write("container_reply", "entries-" + std::to_string(mode), m + events);
    write("escapes", "reply-" + std::to_string(mode), m + mixsim::frame_for_send(box_reply));
  }
  // The receive stream: traffic as the console frames it (junk, events, a container reply, a
  // definition), read by each kind of read (the second byte), fed whole, split and in chunks.
  {
    const uint32_t leaf_hash = wGetHashFromToken(box + 1);
    const Bytes traffic = mixsim::frame_for_send(Bytes("\x01\x02\x3F", 3) + events) +
                          mixsim::frame_for_send(box_reply) +
                          mixsim::frame_for_send(mixsim::compose_definition_reply(model, leaf_hash, true)) +
                          mixsim::frame_for_send(mixsim::compose_value_reply(model, leaf_hash));
    for (unsigned char choice : {0x00, 0x1C, 0x01, 0x05, 0x02, 0x03}) {
      for (unsigned char mode : {0x7C, 0x42, 0x1F}) {
        write("stream_reads", "traffic-" + std::to_string(choice) + "-" + std::to_string(mode),
              Bytes(1, static_cast<char>(mode)) + Bytes(1, static_cast<char>(choice)) + traffic);
      }
    }
  }
  write("escapes", "table", "\x01\xDF\xD1\xD7\xDF\xDE\x05\xDF\xDF\xDE\xDF\xDF\xD3\xDF\x00\x01\x12\xDF");

  // Dump text: capacity byte, container, then leaf path and value text in turns.
  {
    Bytes d(1, static_cast<char>(0x40));
    d += wGetNameFromToken(box);
    for (uint32_t t = box + 1; t < box + 5; ++t) d += Bytes(1, '\0') + wGetNameFromToken(t) + Bytes(1, '\0') + "1,";
    write("dump_text", "box", d);
  }

  // Definition replies, both header layouts, for a leaf and a container.
  for (uint32_t t : {box, box + 1}) {
    const uint32_t h = wGetHashFromToken(t);
    write("definition_reply", "short-" + std::to_string(t), be32(h) + mixsim::compose_definition_reply(model, h, false));
    write("definition_reply", "long-" + std::to_string(t), be32(h) + mixsim::compose_definition_reply(model, h, true));
  }

  write("discovery_reply", "reply", mixsim::compose_discovery_reply("192.0.2.10", mixsim::identity{}));
  write("discovery_reply", "long-address", "WING,255.255.255.255255,x");
  write("discovery_reply", "bare", "WING,1");

  // Client streams: every request the library sends, in the library's framing.
  const uint32_t leaf = wGetHashFromToken(box + 1);
  Bytes value_req = be32(leaf);
  value_req.insert(0, 1, static_cast<char>(mixlink::kTokNodeHash));
  Bytes client = client_send(1, value_req + "\xDC") + client_send(1, value_req + "\xDD") + client_send(1, "\xDA\xDC");
  client += "\xDF\xD3\xD3\x27\x1A\xDF\xD1";
  unsigned char bitmap[29] = {};
  bitmap[0] = 0xFF;
  bitmap[20] = 0x81;
  unsigned char sub[300];
  const int sub_n = wComposeMetersRequest(3, bitmap, sub);
  client += client_send(3, Bytes(reinterpret_cast<char*>(sub), static_cast<size_t>(sub_n)));
  client += client_send(3, Bytes("\xD4\x00\x00\x00\x03\xDF\xD1", 7));
  write("sim_stream", "session", Bytes(1, '\x01') + client);
  write("sim_stream", "session-split", Bytes(1, '\x3E') + client);
  return 0;
}
