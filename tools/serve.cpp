// SPDX-License-Identifier: MIT
// mixlink serve: the console's analyser as a web page for any phone, tablet or laptop on the
// network. This thread owns the link (every library call is made here: the meters, the
// keep-alive, reconnecting, the reads the page's JSON routes ask for); the server's threads only
// hand over what it gives them.
#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/protocol.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "command.h"
#include "console.h"
#include "reads.h"
#include "server.h"

namespace mixtool {

namespace {

// What `mixlink serve --help` prints.
constexpr char kHelp[] = R"(usage: mixlink [-a ADDRESS] serve [--listen ADDR:PORT] [--token TEXT] [--port PORT]
Shows the console's RTA as a web page: open the address it prints in any browser.
It subscribes to the RTA and keeps the subscription, the keep-alive and the
connection going; it only reads from the console, never changes it.
--listen ADDR:PORT  where the page is served (default 127.0.0.1:8080; 0.0.0.0:8080
                    for every interface)
--token TEXT  the token every request for data needs (default: none on loopback,
              a fresh random one elsewhere); it is part of the printed address
--port PORT   local UDP port for the meter datagrams (default 10026)
Routes: / (the page), /ws (frames), /api/rta, /api/value?path=P, /api/dump?path=P.
)";

constexpr Option kOptions[] = {{"--listen", "ADDR:PORT"}, {"--token", "TEXT"}, {"--port", "PORT"}};

constexpr int kMeterId = 3;
constexpr int kMeterReadSize = 254;
// How often the link is looked after (TCP drained, keep-alive sent when due, renewals).
constexpr auto kHousekeeping = std::chrono::milliseconds(100);
// The longest a datagram is waited for before the reads waiting are made.
constexpr int kMeterWaitUs = 20000;
constexpr auto kReconnectEvery = std::chrono::seconds(1);
// Without a datagram for this long, the subscription is sent again (a console that was silent
// longer than it keeps a subscription ignores renewals).
constexpr auto kResubscribeAfter = std::chrono::seconds(2);
constexpr auto kRenewEvery = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

class Link {
 public:
  Link(mixserve::Server& server, mixserve::ReadQueue& reads, std::string address, int port)
      : server_(server), reads_(reads), address_(std::move(address)), port_(port) {
    bitmap_[mixlink::kRtaBitmapRow] = mixlink::kRtaBitmapBit;
  }

  bool subscribe() {
    if (wMeterUDPPort(port_) != 1 || wSetMetersRequest(kMeterId, bitmap_) != 1) return false;
    wRenewMeters(kMeterId);
    renewed_ = heard_ = Clock::now();
    return true;
  }

  void run() {
    console_ = wConsoleAddress();
    server_.setLink(mixserve::LinkStatus::connected);
    Clock::time_point next_housekeeping{};
    while (!interrupted()) {
      const Clock::time_point now = Clock::now();
      if (now >= next_housekeeping) {
        keep(now);
        next_housekeeping = now + kHousekeeping;
      }
      if (lost_) {
        reads_.refuse();
        std::this_thread::sleep_for(kHousekeeping);
        continue;
      }
      read_meters();
      reads_.answer();
    }
  }

 private:
  void lose(Clock::time_point now) {
    lost_ = true;
    next_reconnect_ = now + kReconnectEvery;
    server_.setLink(mixserve::LinkStatus::lost);
  }

  void keep(Clock::time_point now) {
    if (lost_) {
      if (now < next_reconnect_) return;
      next_reconnect_ = now + kReconnectEvery;
      // A frozen console's listen backlog takes the connection but never answers on it.
      if (wTCPConnect(address_.c_str()) == 1 && wLinkAnswered(wLinkDefault()) == 1 && subscribe()) {
        lost_ = false;
        server_.setLink(mixserve::LinkStatus::connected);
      }
      return;
    }
    // A closed connection shows here at once, long before a keep-alive would notice it; a console
    // that stopped answering (frozen, its sockets still open) after the silence limit.
    if (wDrainTCP() < 0 || wLinkAlive(wLinkDefault()) != W_SUCCESS || wKeepAlive() != 1)
      return lose(now);
    // A keep-alive that reconnected dropped the meter socket with the old connection.
    if (wMeterSocket() == W_NO_SOCKET && !subscribe()) return lose(now);
    if (now - renewed_ >= kRenewEvery) {
      wRenewMeters(kMeterId);
      renewed_ = now;
    }
    if (now - heard_ >= kResubscribeAfter) {
      wSetMetersRequest(kMeterId, bitmap_);
      heard_ = now;
    }
  }

  void read_meters() {
    uint32_t sender = 0;
    int n = wMRecvFrom(buf_, kMeterReadSize, kMeterWaitUs, &sender);
    // What queued behind the first is read at once; the server keeps only the newest anyway.
    while (n > 0) {
      // Meter datagrams count only from the address the connection reached.
      if (sender == console_) {
        server_.feedRta(buf_, n);
        heard_ = Clock::now();
      }
      n = wMRecvFrom(buf_, kMeterReadSize, -1, &sender);
    }
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  mixserve::Server& server_;
  mixserve::ReadQueue& reads_;
  std::string address_;
  int port_;
  unsigned char bitmap_[32] = {};
  unsigned char buf_[kMeterReadSize] = {};
  uint32_t console_ = 0;
  bool lost_ = false;
  Clock::time_point renewed_{}, heard_{}, next_reconnect_{};
};

int run(const Invocation& call) {
  long port = mixlink::kDefaultMeterPort;
  if (int u = number_option(call, "--port", 1, 65535, &port)) return u;
  mixserve::Settings settings;
  if (call.has("--listen")) settings.listen = call.value("--listen");
  settings.token = call.value("--token");
  if (call.has("--token") && !mixserve::validToken(settings.token))
    return usage_error(call, "--token takes 1 to 128 of A-Z, a-z, 0-9 and -._~");
  std::string host;
  int listen_port = 0;
  if (!mixserve::splitListen(settings.listen, &host, &listen_port))
    return usage_error(call, "--listen takes ADDR:PORT, not '" + settings.listen + "'");

  Session session;
  if (!session.open(call.address, call.timeout_us())) return kExitFail;
  char address[32] = "";
  const uint32_t console = wConsoleAddress();
  const auto* b = reinterpret_cast<const unsigned char*>(&console);
  std::snprintf(address, sizeof address, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);

  mixserve::ReadQueue reads;
  settings.reads = &reads;
  mixserve::Server server;
  Link link(server, reads, address, static_cast<int>(port));
  if (!link.subscribe()) {
    std::fprintf(stderr, "mixlink: cannot subscribe to the meters on port %ld\n", port);
    return kExitFail;
  }
  std::string error;
  if (!server.start(settings, &error)) {
    std::fprintf(stderr, "mixlink: %s\n", error.c_str());
    return kExitFail;
  }
  std::printf("%s\n", server.url().c_str());
  if (output_flow() == Flow::failed) return kExitFail;
  link.run();
  reads.refuse();
  server.stop();
  return kExitOk;
}

}  // namespace

extern const Command kServe{.name = "serve",
                            .summary = "the analyser as a web page [--listen ADDR:PORT] [--token TEXT]",
                            .help = kHelp, .options = kOptions, .run = run, .endless = true};

}  // namespace mixtool
