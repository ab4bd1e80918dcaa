// SPDX-License-Identifier: MIT
#include "server.h"

#include <civetweb.h>

#include <mixlink/meters.h>
#include <mixlink/protocol.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <random>
#include <thread>

namespace mixserve {

extern const char kPage[];  // page.cpp, made from page.html at build time

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBands = mixlink::kRtaValues;

// Band centres as the analyser labels them: 1/12 octave each, band 67 on 1 kHz.
constexpr double kReferenceHz = 1000.0;
constexpr int kReferenceBand = 67;
constexpr double kBandsPerOctave = 12.0;


// civetweb's options take numbers as text.
std::string text(int n) { return std::to_string(n); }

// Compares in a time that does not depend on where the texts differ.
bool sameSecret(const std::string& a, const char* b, size_t b_length) {
  if (a.size() != b_length) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < b_length; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string randomToken() {
  std::random_device random;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < kTokenBytes; ++i) {
    const unsigned byte = random() & 0xFFu;
    token += kHex[byte >> 4];
    token += kHex[byte & 0xF];
  }
  return token;
}

std::string errorJson(const char* message) { return std::string("{\"error\": \"") + message + "\"}"; }

const char* reasonOf(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Error";
  }
}

// Sends status with body (not for HEAD) and the headers every answer carries. civetweb's header
// calls do not answer a WebSocket request that is turned away, so the head is written here alike
// for every answer.
void respond(mg_connection* conn, int status, const char* type, const std::string& body) {
  // The page loads nothing from anywhere: its script and style are inline, its data comes from
  // this server.
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\n"
            "Content-Type: %s\r\n"
            "Content-Length: %zu\r\n"
            "Cache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
            "connect-src 'self' ws: wss:; img-src 'self' data:\r\n"
            "%s"
            "\r\n",
            status, reasonOf(status), type, body.size(), status == 401 ? "WWW-Authenticate: Bearer\r\n" : "");
  const char* method = mg_get_request_info(conn)->request_method;
  if (std::strcmp(method, "HEAD") != 0) mg_write(conn, body.data(), body.size());
}

}  // namespace

bool isLoopback(const std::string& host) {
  if (host == "localhost") return true;
  unsigned a = 0;
  const auto [end, ec] = std::from_chars(host.data(), host.data() + host.size(), a);
  return ec == std::errc() && a == 127 && end != host.data() + host.size() && *end == '.';
}

bool validToken(const std::string& text) {
  constexpr size_t kMaxTokenLength = 128;
  if (text.empty() || text.size() > kMaxTokenLength) return false;
  for (const char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr("-._~", c) == nullptr) return false;
  return true;
}

bool splitListen(const std::string& listen, std::string* host, int* port) {
  const size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string p = listen.substr(colon + 1);
  int n = 0;
  const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), n);
  if (p.empty() || ec != std::errc() || end != p.data() + p.size() || n < 0 || n > 65535) return false;
  *host = listen.substr(0, colon);
  *port = n;
  return true;
}

std::string rtaJson(const int16_t* values, const char* status, int64_t age_ms, bool centres) {
  std::string json = "{\"bands\": [";
  for (int i = 0; i < kBands; ++i) {
    if (i > 0) json += ',';
    json += std::to_string(values[i]);
  }
  json += ']';
  if (centres) {
    json += ", \"centre_hz\": [";
    char number[32];
    for (int i = 0; i < kBands; ++i) {
      const double hz = kReferenceHz * std::exp2((i - kReferenceBand) / kBandsPerOctave);
      std::snprintf(number, sizeof number, "%s%.1f", i > 0 ? "," : "", hz);
      json += number;
    }
    json += ']';
  }
  json += ", \"status\": \"";
  json += status;
  json += "\", \"age_ms\": " + std::to_string(age_ms) + "}";
  return json;
}

// One WebSocket client: its own thread writes to it, so a slow client holds up nobody; it always
// writes the newest frame, so a slow client skips frames instead of queueing them.
struct Client {
  mg_connection* conn = nullptr;
  std::thread sender;
  bool closing = false;
};

struct Server::Impl {
  mg_context* ctx = nullptr;
  std::string host;
  int port = 0;
  std::string token;
  Reads* reads = nullptr;

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::array<int16_t, kBands> values{};
  uint64_t frame = 0;  // frames taken so far
  std::string frame_message;  // the newest frame as every client gets it while live
  Clock::time_point frame_at;
  Clock::time_point started = Clock::now();
  LinkStatus link = LinkStatus::connecting;
  uint64_t link_changes = 0;
  int ws_clients = 0;  // slots taken, from the connect handler on
  std::list<Client> clients;
  bool stopping = false;

  Impl() { values.fill(-32768); }

  // The status and age now; with the lock held.
  const char* status(Clock::time_point now, int64_t* age_ms) const {
    const Clock::time_point since = frame > 0 ? frame_at : started;
    *age_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
    if (link == LinkStatus::lost) return "lost";
    if (link == LinkStatus::connected && frame > 0 && *age_ms < kStaleAfterMs) return "live";
    return "stale";
  }

  std::string frameJson(bool centres) const {
    std::lock_guard lock(mutex);
    int64_t age = 0;
    const char* s = status(Clock::now(), &age);
    return rtaJson(values.data(), s, age, centres);
  }

  bool authorised(const mg_connection* conn) const {
    if (token.empty()) return true;
    const mg_request_info* info = mg_get_request_info(conn);
    if (info->query_string != nullptr) {
      char given[256];
      const int n = mg_get_var(info->query_string, std::strlen(info->query_string), "token", given, sizeof given);
      if (n >= 0 && sameSecret(token, given, static_cast<size_t>(n))) return true;
    }
    const char* header = mg_get_header(conn, "Authorization");
    constexpr char kBearer[] = "Bearer ";
    constexpr size_t kBearerLength = sizeof kBearer - 1;
    if (header != nullptr && std::strncmp(header, kBearer, kBearerLength) == 0) {
      const char* given = header + kBearerLength;
      if (sameSecret(token, given, std::strlen(given))) return true;
    }
    return false;
  }

  // A request without an Origin header comes from no browser page; one with it, from a page
  // of this server: http:// and the host the request was sent to.
  static bool sameOrigin(const mg_connection* conn) {
    const char* origin = mg_get_header(conn, "Origin");
    if (origin == nullptr) return true;
    const char* host = mg_get_header(conn, "Host");
    return host != nullptr && std::string(origin) == std::string("http://") + host;
  }

  void send(Client* c) {
    uint64_t sent_frame = 0, sent_change = link_changes;
    Clock::time_point sent_at{};
    // The rate cap is a bucket of kFrameBurst frames that fills at kMaxFramesPerSecond: frames
    // that come a little early after a late one are not held back, and the rate stays capped.
    double credit = kFrameBurst;
    Clock::time_point credited = Clock::now();
    std::unique_lock lock(mutex);
    while (!c->closing && !stopping) {
      const Clock::time_point now = Clock::now();
      credit = std::min<double>(kFrameBurst, credit + std::chrono::duration<double>(now - credited).count() *
                                                          kMaxFramesPerSecond);
      credited = now;
      int64_t age = 0;
      const bool live = std::strcmp(status(now, &age), "live") == 0;
      const bool frame_waiting = frame != sent_frame;
      const bool new_frame = frame_waiting && credit >= 1.0;
      const bool status_due = !live && now >= sent_at + std::chrono::milliseconds(kStatusEveryMs);
      if (!new_frame && !status_due && link_changes == sent_change) {
        Clock::time_point wake = sent_at + std::chrono::milliseconds(kStatusEveryMs);
        if (frame_waiting)
          wake = now + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>((1.0 - credit) / kMaxFramesPerSecond));
        // A live display turns stale without a frame: the client hears it then.
        if (live) wake = std::min(wake, frame_at + std::chrono::milliseconds(kStaleAfterMs));
        changed.wait_until(lock, std::max(wake, now + std::chrono::microseconds(100)));
        continue;
      }
      // A live frame's message is made once for every client; the status of a display that is
      // not live, with its age, for each.
      const std::string json = live && new_frame ? frame_message : rtaJson(values.data(), status(now, &age), age, false);
      if (new_frame) credit -= 1.0;
      sent_frame = frame;
      sent_change = link_changes;
      sent_at = now;
      lock.unlock();
      mg_lock_connection(c->conn);
      const int written = mg_websocket_write(c->conn, MG_WEBSOCKET_OPCODE_TEXT, json.data(), json.size());
      mg_unlock_connection(c->conn);
      lock.lock();
      // A client that cannot be written to any more is closed by its reading side.
      if (written <= 0) {
        changed.wait(lock, [&] { return c->closing || stopping; });
      }
    }
  }

  // Routes --------------------------------------------------------------------------------

  int request(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string uri = info->local_uri != nullptr ? info->local_uri : "";
    const bool get = std::strcmp(info->request_method, "GET") == 0 || std::strcmp(info->request_method, "HEAD") == 0;
    if (uri == "/") {
      // The page holds no data; the token guards what it fetches, so that the page can take its
      // token from where it keeps it after the first visit.
      if (!get) return answer(conn, 405, errorJson("only GET"));
      respond(conn, 200, "text/html; charset=utf-8", kPage);
      return 200;
    }
    if (!authorised(conn)) return answer(conn, 401, errorJson("token needed"));
    if (uri != "/api/rta" && uri != "/api/value" && uri != "/api/dump" && uri != "/ws")
      return answer(conn, 404, errorJson("no such route"));
    if (!get) return answer(conn, 405, errorJson("only GET"));
    if (uri == "/ws") return answer(conn, 400, errorJson("WebSocket upgrade needed"));
    if (uri == "/api/rta") return answer(conn, 200, frameJson(true));
    if (reads == nullptr) return answer(conn, 503, errorJson("reads are not offered here"));
    char path[512] = "";
    const char* q = info->query_string;
    if (q == nullptr || mg_get_var(q, std::strlen(q), "path", path, sizeof path) <= 0)
      return answer(conn, 400, errorJson("path needed"));
    const Reply r = uri == "/api/value" ? reads->value(path) : reads->dump(path);
    return answer(conn, r.status, r.json);
  }

  int answer(mg_connection* conn, int status, const std::string& json) {
    respond(conn, status, "application/json", json);
    return status;
  }

  // WebSocket ----------------------------------------------------------------------------

  // Before civetweb's own handling: a WebSocket request without the token, or beyond the
  // clients allowed, gets its answer here, while it can still have one.
  int begin(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    const char* upgrade = mg_get_header(conn, "Upgrade");
    if (upgrade == nullptr || info->local_uri == nullptr || std::strcmp(info->local_uri, "/ws") != 0) return 0;
    // A page from another site that the browser shows may not open the stream (a WebSocket is
    // not held to the same origin as other requests are).
    if (!sameOrigin(conn)) return answer(conn, 403, errorJson("not from this server's page"));
    if (!authorised(conn)) return answer(conn, 401, errorJson("token needed"));
    std::lock_guard lock(mutex);
    if (ws_clients >= kMaxWebSocketClients) return answer(conn, 503, errorJson("too many clients"));
    return 0;
  }

  int wsConnect(const mg_connection* conn) {
    // begin() has let it through; a race of the last few for the last slot closes the loser.
    std::lock_guard lock(mutex);
    if (stopping || ws_clients >= kMaxWebSocketClients || !authorised(conn)) return 1;
    ++ws_clients;
    Client& c = clients.emplace_back();
    c.conn = const_cast<mg_connection*>(conn);
    mg_set_user_connection_data(conn, &c);
    return 0;
  }

  void wsReady(mg_connection* conn) {
    auto* c = static_cast<Client*>(mg_get_user_connection_data(conn));
    if (c == nullptr) return;
    std::lock_guard lock(mutex);
    c->sender = std::thread(&Impl::send, this, c);
  }

  void wsClose(const mg_connection* conn) {
    auto* c = static_cast<Client*>(mg_get_user_connection_data(conn));
    if (c == nullptr) return;
    {
      std::lock_guard lock(mutex);
      c->closing = true;
      changed.notify_all();
    }
    if (c->sender.joinable()) c->sender.join();
    std::lock_guard lock(mutex);
    clients.remove_if([c](const Client& x) { return &x == c; });
    --ws_clients;
    mg_set_user_connection_data(conn, nullptr);
  }
};

namespace {

int onBegin(mg_connection* conn) {
  return static_cast<Server::Impl*>(mg_get_user_data(mg_get_context(conn)))->begin(conn);
}
int onRequest(mg_connection* conn, void* data) { return static_cast<Server::Impl*>(data)->request(conn); }
int onWsConnect(const mg_connection* conn, void* data) { return static_cast<Server::Impl*>(data)->wsConnect(conn); }
void onWsReady(mg_connection* conn, void* data) { static_cast<Server::Impl*>(data)->wsReady(conn); }
int onWsData(mg_connection*, int bits, char*, size_t, void*) {
  // What the client sends is not read; a close ends the connection.
  return (bits & 0x0F) == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE ? 0 : 1;
}
void onWsClose(const mg_connection* conn, void* data) { static_cast<Server::Impl*>(data)->wsClose(conn); }
// civetweb's own messages (a bad request, a time-out) are not for the user of the tool.
int onLog(const mg_connection*, const char*) { return 1; }

}  // namespace

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() { stop(); }

bool Server::start(const Settings& settings, std::string* error) {
  Impl& s = *impl_;
  if (!splitListen(settings.listen, &s.host, &s.port)) {
    *error = "'" + settings.listen + "' is not ADDR:PORT";
    return false;
  }
  if (!settings.token.empty() && !validToken(settings.token)) {
    *error = "a token is 1 to 128 of A-Z, a-z, 0-9 and -._~";
    return false;
  }
  s.token = settings.token;
  if (s.token.empty() && !isLoopback(s.host)) s.token = randomToken();
  s.reads = settings.reads;
  const std::string ports = (s.host == "localhost" ? "127.0.0.1" : s.host) + ":" + text(s.port);
  const std::string threads = text(kWorkerThreads), header = text(kMaxHeaderBytes), idle = text(kIdleCloseMs);
  const char* options[] = {"listening_ports", ports.c_str(),
                           "num_threads", threads.c_str(),
                           "max_request_size", header.c_str(),
                           "request_timeout_ms", idle.c_str(),
                           "keep_alive_timeout_ms", idle.c_str(),
                           "enable_keep_alive", "yes",
                           "websocket_timeout_ms", idle.c_str(),
                           "enable_websocket_ping_pong", "yes",
                           "enable_directory_listing", "no",
                           // A frame goes out when written, not after the client's delayed ACK.
                           "tcp_nodelay", "1",
                           nullptr};
  static const bool initialised = [] {
    mg_init_library(MG_FEATURES_WEBSOCKET);
    return true;
  }();
  (void)initialised;
  mg_callbacks callbacks{};
  callbacks.log_message = onLog;
  callbacks.begin_request = onBegin;
  char reason[256] = "";
  unsigned code = 0;
  mg_error_data failure{&code, reason, sizeof reason};
  mg_init_data init{&callbacks, &s, options};
  s.ctx = mg_start2(&init, &failure);
  if (s.ctx == nullptr) {
    *error = std::string("cannot listen on ") + settings.listen + (reason[0] ? ": " : "") + reason;
    return false;
  }
  mg_server_port bound[4] = {};
  if (mg_get_server_ports(s.ctx, 4, bound) > 0) s.port = bound[0].port;
  mg_set_request_handler(s.ctx, "/", onRequest, &s);
  mg_set_websocket_handler(s.ctx, "/ws", onWsConnect, onWsReady, onWsData, onWsClose, &s);
  return true;
}

void Server::stop() {
  Impl& s = *impl_;
  if (s.ctx == nullptr) return;
  {
    std::lock_guard lock(s.mutex);
    s.stopping = true;
    s.changed.notify_all();
  }
  mg_stop(s.ctx);  // closes the connections, whose close handlers join their senders
  s.ctx = nullptr;
}

std::string Server::url() const {
  std::string url = "http://" + impl_->host + ":" + text(impl_->port) + "/";
  if (!impl_->token.empty()) url += "?token=" + impl_->token;
  return url;
}

std::string Server::token() const { return impl_->token; }

int Server::port() const { return impl_->port; }

void Server::feedRta(const unsigned char* datagram, int length) {
  Impl& s = *impl_;
  // A datagram shorter than the RTA block is no frame: it is not shown, as bandscope does not.
  int16_t values[kBands];
  if (wRtaValues(datagram, length, values) != 1) return;
  std::lock_guard lock(s.mutex);
  std::copy(values, values + kBands, s.values.begin());
  ++s.frame;
  s.frame_at = Clock::now();
  s.frame_message = rtaJson(s.values.data(), "live", 0, false);  // what it is sent as while live
  s.changed.notify_all();
}

void Server::setLink(LinkStatus status) {
  Impl& s = *impl_;
  std::lock_guard lock(s.mutex);
  if (s.link == status) return;
  s.link = status;
  ++s.link_changes;
  s.changed.notify_all();
}

int Server::clients() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->ws_clients;
}

}  // namespace mixserve
