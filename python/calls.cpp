// SPDX-License-Identifier: MIT
#include "calls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/nodes.h>
#include <mixlink/result.h>

namespace mixpy {

namespace {

// Events a read drops before it asks: room for several at a time, and a few rounds at most, so
// a console that floods events cannot hold the read up.
constexpr int kDropBytes = 16 * 1024;
constexpr int kDropRounds = 8;

void keep_diagnostic(void*, const char* text);

}  // namespace

struct Link {
  std::mutex lock;
  w_link* link = nullptr;  // null once closed
  unsigned char dropped[kDropBytes];  // used under lock

  Link() : link(wLinkNew()) {
    if (link != nullptr) wLinkSetDiagnostics(link, keep_diagnostic, nullptr);
  }
  ~Link() { wLinkFree(link); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
};

namespace {

// Diagnostics kept for the module, under their own lock: the library hands them over while a call
// holds a link's lock, and they are taken after it.
constexpr size_t kKeptDiagnostics = 256;
std::mutex g_diagnostics_lock;
std::vector<std::string> g_diagnostics;
size_t g_diagnostics_lost = 0;

// Runs call(link) under connection's lock while it is open; errno survives the unlock.
template <class Call>
int on(const Connection& connection, Call call) {
  if (connection == nullptr) return kNotOpen;
  int result = kNotOpen;
  int error = 0;
  {
    std::lock_guard<std::mutex> hold(connection->lock);
    if (connection->link == nullptr) return kNotOpen;
    result = call(connection->link, connection->dropped);
    error = errno;
  }
  errno = error;
  return result;
}

// Takes the events that have come out of the stream and drops them; returns wLinkStatus.
int drop_arrived(w_link* link, unsigned char* dropped) {
  for (int round = 0; round < kDropRounds; ++round)
    if (wLinkGetEventEntriesTimed(link, dropped, kDropBytes, 1) <= 0) break;
  return wLinkStatus(link);
}

void keep_diagnostic(void*, const char* text) {
  std::lock_guard<std::mutex> hold(g_diagnostics_lock);
  if (g_diagnostics.size() >= kKeptDiagnostics) {
    ++g_diagnostics_lost;
    return;
  }
  std::string line(text);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  g_diagnostics.push_back(std::move(line));
}

}  // namespace

int open(const std::string& address, int timeout_us, Connection* connection, std::string* connected_to) {
  auto made = std::make_shared<Link>();
  if (made->link == nullptr) return W_ERR_NO_MEMORY;
  char text[64] = {};
  std::strncpy(text, address.c_str(), sizeof text - 1);
  const int r = wLinkOpenTimed(made->link, text, timeout_us > 0 ? timeout_us : 1);
  if (r != W_SUCCESS) return r;  // the link (and a failed attempt's sockets) goes with made
  *connection = std::move(made);
  *connected_to = text;
  return W_SUCCESS;
}

int close(const Connection& connection) {
  return on(connection, [&](w_link* link, unsigned char*) -> int {
    wLinkFree(link);
    connection->link = nullptr;
    return W_SUCCESS;
  });
}

int discover(std::string* address) {
  char text[64] = {};
  const int r = wSearchWING(text);
  if (r == 1) *address = text;
  return r;
}

int read_value(const Connection& connection, uint32_t token, int* type, w_value* value, int timeout_us) {
  return on(connection, [&](w_link* link, unsigned char* dropped) -> int {
    if (drop_arrived(link, dropped) == 0) return kEnded;
    return wLinkGetTokenTimed(link, token, type, value, timeout_us);
  });
}

int read_values(const Connection& connection, const std::vector<uint32_t>& tokens, std::vector<w_token_value>* records,
                int timeout_us) {
  records->assign(tokens.size(), w_token_value{});
  return on(connection, [&](w_link* link, unsigned char* dropped) -> int {
    if (drop_arrived(link, dropped) == 0) return kEnded;
    return wLinkGetTokensTimed(link, tokens.data(), static_cast<int>(tokens.size()), records->data(), timeout_us);
  });
}

int read_text(const Connection& connection, uint32_t token, char* text, size_t capacity, int timeout_us) {
  return on(connection,
            [&](w_link* link, unsigned char*) { return wLinkGetNodeTimed(link, token, text, capacity, timeout_us); });
}

int read_raw(const Connection& connection, uint32_t token, unsigned char* buf, int size, int timeout_us) {
  return on(connection,
            [&](w_link* link, unsigned char*) { return wLinkGetBinaryNodeTimed(link, token, buf, size, timeout_us); });
}

int read_definition(const Connection& connection, uint32_t token, std::vector<unsigned char>* definition,
                    int timeout_us) {
  return on(connection, [&](w_link* link, unsigned char*) -> int {
    int length = 0;
    unsigned char* data = nullptr;
    const int r = wLinkGetTokenDefTimed(link, token, &length, &data, timeout_us);
    if (r == 1) {
      definition->assign(data, data + length);
      std::free(data);
    }
    return r;
  });
}

int take_events(const Connection& connection, unsigned char* buf, int capacity, int timeout_us) {
  return on(connection, [&](w_link* link, unsigned char*) -> int {
    return wLinkGetEventEntriesTimed(link, buf, capacity, timeout_us);
  });
}

int keep_alive(const Connection& connection) {
  return on(connection, [](w_link* link, unsigned char*) -> int {
    const int r = wLinkKeepAlive(link);
    return r == W_SUCCESS ? wLinkAlive(link) : r;
  });
}

int subscribe_meters(const Connection& connection, int port, int id, const unsigned char* bitmap) {
  return on(connection, [&](w_link* link, unsigned char*) -> int {
    const int r = wLinkMeterUDPPort(link, port);
    if (r != W_SUCCESS) return r;
    return wLinkSetMetersRequest(link, id, bitmap) == 1 ? W_SUCCESS : W_ERR_SEND;
  });
}

int renew_meters(const Connection& connection, int id) {
  return on(connection,
            [&](w_link* link, unsigned char*) -> int { return wLinkRenewMeters(link, id) == 1 ? W_SUCCESS : W_ERR_SEND; });
}

int read_meters(const Connection& connection, unsigned char* buf, int size, int timeout_us) {
  return on(connection,
            [&](w_link* link, unsigned char*) { return wLinkGetMeters(link, buf, size, timeout_us); });
}

int link_state(const Connection& connection, bool drain) {
  return on(connection, [&](w_link* link, unsigned char* dropped) -> int {
    return drain ? drop_arrived(link, dropped) : wLinkStatus(link);
  });
}

void collect_diagnostics() { wSetDiagnostics(keep_diagnostic, nullptr); }

std::vector<std::string> take_diagnostics() {
  std::vector<std::string> texts;
  std::lock_guard<std::mutex> hold(g_diagnostics_lock);
  texts.swap(g_diagnostics);
  if (g_diagnostics_lost > 0) {
    texts.push_back(std::to_string(g_diagnostics_lost) + " more diagnostics were dropped");
    g_diagnostics_lost = 0;
  }
  return texts;
}

}  // namespace mixpy
