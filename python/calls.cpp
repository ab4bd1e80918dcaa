#include "calls.h"

#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <mixlink/link.h>
#include <mixlink/meters.h>
#include <mixlink/nodes.h>

namespace mixpy {

namespace {

std::mutex g_lock;
Connection g_open = 0;  // the open connection; 0 when none
Connection g_last = 0;

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

}  // namespace

int open(const std::string& address, int timeout_us, Connection* connection, std::string* connected_to) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_open != 0) return kAlreadyOpen;
  // TODO: bound the connect by timeout_us once the library's connect takes a bound; today wOpen
  // waits in connect() as long as the system's TCP does (Ctrl-C ends it).
  (void)timeout_us;
  char text[64] = {};
  std::strncpy(text, address.c_str(), sizeof text - 1);
  const int r = wOpen(text);
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
  return on(connection, [&] { return wGetTokenTimed(token, type, value, timeout_us); });
}

int read_text(Connection connection, uint32_t token, char* text, size_t capacity, int timeout_us) {
  // TODO: wGetNodeTimed(token, text, capacity, timeout_us); wGetNode waits for the first block
  // of the reply without limit.
  (void)timeout_us;
  return on(connection, [&] { return wGetNode(token, text, capacity); });
}

int read_raw(Connection connection, uint32_t token, unsigned char* buf, int size, int timeout_us) {
  // TODO: wGetBinaryNodeTimed(token, buf, size, timeout_us); wGetBinaryNode waits for the first
  // block without limit, then gives up after a second without data.
  (void)timeout_us;
  return on(connection, [&] { return wGetBinaryNode(token, buf, size); });
}

int read_definition(Connection connection, uint32_t token, std::vector<unsigned char>* definition,
                    int timeout_us) {
  // TODO: wGetTokenDefTimed(token, &length, &data, timeout_us); wGetTokenDef waits for its
  // reply without limit.
  (void)timeout_us;
  return on(connection, [&] {
    int length = 0;
    unsigned char* data = nullptr;
    const int r = wGetTokenDef(token, &length, &data);
    if (r == 1) {
      definition->assign(data, data + length);
      std::free(data);
    }
    return r;
  });
}

int receive(Connection connection, unsigned char* buf, int capacity, int timeout_us) {
  return on(connection, [&] { return wRecv(buf, capacity, timeout_us); });
}

int keep_alive(Connection connection, bool* sent) {
  return on(connection, [&] {
    // wKeepAlive moves the due time on exactly when it sends.
    const int64_t due = wnext;
    const int r = wKeepAlive();
    *sent = wnext != due;
    return r;
  });
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

bool closed_by_console(Connection connection) {
  return on(connection, [] {
           if (wing_tsocket < 0) return 1;
           // POLLRDHUP tells of the console's end of the stream even behind unread bytes.
           pollfd p{wing_tsocket, POLLRDHUP, 0};
           return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0 ? 1 : 0;
         }) == 1;
}

}  // namespace mixpy
