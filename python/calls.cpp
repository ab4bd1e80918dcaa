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

namespace mixpy {

namespace {

std::mutex g_lock;
Connection g_open = 0;  // the open connection; 0 when none
Connection g_last = 0;

// Events a read drops before it asks: room for several at a time, and a few rounds at most, so
// a console that floods events cannot hold the read up.
constexpr int kDropBytes = 16 * 1024;
constexpr int kDropRounds = 8;
unsigned char g_dropped[kDropBytes];  // used under g_lock

// Diagnostics kept for the module, under their own lock: the library hands them over while a call
// holds g_lock, and they are taken after it.
constexpr size_t kKeptDiagnostics = 256;
std::mutex g_diagnostics_lock;
std::vector<std::string> g_diagnostics;
size_t g_diagnostics_lost = 0;

// Runs call under the lock when connection is the open one; errno survives the unlock.
template <class Call>
int on(Connection connection, Call call) {
  int result = kNotOpen;
  int error = 0;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (connection == 0 || connection != g_open) return kNotOpen;
    result = call();
    error = errno;
  }
  errno = error;
  return result;
}

// Takes the events that have come out of the stream and drops them; returns wLinkState().
int drop_arrived() {
  for (int round = 0; round < kDropRounds; ++round)
    if (wGetEventEntriesTimed(g_dropped, kDropBytes, 1) <= 0) break;
  return wLinkState();
}

}  // namespace

int open(const std::string& address, int timeout_us, Connection* connection, std::string* connected_to) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_open != 0) return kAlreadyOpen;
  char text[64] = {};
  std::strncpy(text, address.c_str(), sizeof text - 1);
  const int r = wOpenTimed(text, timeout_us > 0 ? timeout_us : 1);
  if (r != 1) {
    const int error = errno;
    wClose();  // wOpen keeps a failed attempt's sockets until the next open: release them now
    errno = error;
    return r;
  }
  g_open = ++g_last;
  *connection = g_open;
  *connected_to = text;
  return 1;
}

int close(Connection connection) {
  return on(connection, [] {
    wClose();
    g_open = 0;
    return 1;
  });
}

int discover(std::string* address) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_open != 0) return kAlreadyOpen;
  char text[64] = {};
  const int r = wSearchWING(text);
  const int error = errno;
  wClose();  // releases the discovery socket; no connection is open
  errno = error;
  if (r == 1) *address = text;
  return r;
}

int read_value(Connection connection, uint32_t token, int* type, w_value* value, int timeout_us) {
  return on(connection, [&] {
    if (drop_arrived() == 0) return kEnded;
    return wGetTokenTimed(token, type, value, timeout_us);
  });
}

int read_text(Connection connection, uint32_t token, char* text, size_t capacity, int timeout_us) {
  return on(connection, [&] { return wGetNodeTimed(token, text, capacity, timeout_us); });
}

int read_raw(Connection connection, uint32_t token, unsigned char* buf, int size, int timeout_us) {
  return on(connection, [&] { return wGetBinaryNodeTimed(token, buf, size, timeout_us); });
}

int read_definition(Connection connection, uint32_t token, std::vector<unsigned char>* definition,
                    int timeout_us) {
  return on(connection, [&] {
    int length = 0;
    unsigned char* data = nullptr;
    const int r = wGetTokenDefTimed(token, &length, &data, timeout_us);
    if (r == 1) {
      definition->assign(data, data + length);
      std::free(data);
    }
    return r;
  });
}

int take_events(Connection connection, unsigned char* buf, int capacity, int timeout_us) {
  return on(connection, [&] { return wGetEventEntriesTimed(buf, capacity, timeout_us); });
}

int keep_alive(Connection connection) {
  return on(connection, [] { return wKeepAlive(); });
}

int subscribe_meters(Connection connection, int port, int id, const unsigned char* bitmap) {
  return on(connection, [&] {
    const int r = wMeterUDPPort(port);
    if (r != 1) return r;
    return wSetMetersRequest(id, bitmap) == 1 ? 1 : -4;
  });
}

int renew_meters(Connection connection, int id) {
  return on(connection, [&] { return wRenewMeters(id) == 1 ? 1 : -4; });
}

int read_meters(Connection connection, unsigned char* buf, int size, int timeout_us) {
  return on(connection, [&] { return wGetMeters(buf, size, timeout_us); });
}

int link_state(Connection connection, bool drain) {
  return on(connection, [&] { return drain ? drop_arrived() : wLinkState(); });
}

namespace {

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
