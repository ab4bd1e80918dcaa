// SPDX-License-Identifier: MIT
// The analyser's web view: a small read-only HTTP and WebSocket server on civetweb. It serves
// the page (built into the program), pushes the newest RTA frame to every WebSocket client,
// answers JSON reads, and never sends anything to the console itself: whoever owns the link
// feeds it frames and the link's state, and answers its reads (reads.h).
//
// Routes, and nothing else (no file is ever served from disk):
//   GET /                 the page
//   GET /ws               WebSocket: one JSON text message per frame, at most 30 a second
//   GET /api/rta          {"bands": [...], "centre_hz": [...], "status": "...", "age_ms": N}
//   GET /api/value?path=P a leaf's value
//   GET /api/dump?path=P  every leaf below a container
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace mixserve {

// The link as the server reports it: "live" needs connected and a recent frame.
enum class LinkStatus { connecting, connected, lost };

// An HTTP status and its JSON body.
struct Reply {
  int status = 200;
  std::string json;
};

// Reads of the console that the server asks for on its request threads. Whoever implements it
// answers within the deadline (ReadQueue does: a read that cannot start in time is given up).
class Reads {
 public:
  virtual ~Reads() = default;
  virtual Reply value(const std::string& path) = 0;
  virtual Reply dump(const std::string& path) = 0;
};

struct Settings {
  std::string listen = "127.0.0.1:8080";  // ADDR:PORT; port 0 takes any free one
  std::string token;                       // empty: none on loopback, a fresh random one elsewhere
  Reads* reads = nullptr;                  // null: the read routes answer 503
};

// The limits the server keeps.
inline constexpr int kMaxWebSocketClients = 32;
inline constexpr int kMaxHeaderBytes = 8 * 1024;  // request line and headers; more gets 400
inline constexpr int kIdleCloseMs = 5000;         // a connection that sends nothing is closed
inline constexpr int kMaxFramesPerSecond = 30;    // per WebSocket client, on average
inline constexpr int kFrameBurst = 2;             // frames a client may get closer together than that
inline constexpr int kStaleAfterMs = 500;         // no frame for this long: not live
inline constexpr int kStatusEveryMs = 1000;       // how often a client hears the status when not live
// Worker threads: each open connection holds one, so there are enough for every WebSocket client
// and as many other connections again.
inline constexpr int kWorkerThreads = 3 * kMaxWebSocketClients;
// Bytes of random token made when one is needed and none is given (shown as hex).
inline constexpr int kTokenBytes = 16;

// Returns whether host (of ADDR:PORT) is a loopback address: 127.0.0.0/8 or "localhost".
bool isLoopback(const std::string& host);

// Returns whether text may serve as a token: 1 to 128 of A-Z, a-z, 0-9 and "-._~", which stand
// in an address as they are.
bool validToken(const std::string& text);

// Splits "ADDR:PORT" into its host and port; false for anything else (no port, a port out of
// range, an empty host).
bool splitListen(const std::string& listen, std::string* host, int* port);

// The JSON of one frame: the 120 band values, the status and the age; with the band centres when
// centres is true.
std::string rtaJson(const int16_t* values, const char* status, int64_t age_ms, bool centres);

class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts listening; false with the reason in *error (the address is taken, not an address).
  bool start(const Settings& settings, std::string* error);
  // Closes every connection and stops the threads. Also done by the destructor.
  void stop();

  // The page's address, with the token when one is needed: http://ADDR:PORT/?token=...
  std::string url() const;
  // The token requests need, or empty when none is needed.
  std::string token() const;
  int port() const;

  // Takes one meter datagram (its 4-byte header and the 120 big-endian values); one shorter than
  // that is passed over. Any thread.
  void feedRta(const unsigned char* datagram, int length);
  // Takes the link's state; any thread.
  void setLink(LinkStatus status);
  // The WebSocket clients connected now.
  int clients() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace mixserve
