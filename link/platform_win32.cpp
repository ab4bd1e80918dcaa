// SPDX-License-Identifier: MIT
// The platform seam over Windows Sockets 2. Sockets are handles, not small numbers: select takes
// them in its sets by value, so there is no descriptor-number limit to check.
#include "platform.h"

#include <iphlpapi.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace mixlink::detail {

namespace {

timeval to_timeval(int64_t us) {
  if (us < 0) us = 0;
  timeval tv{};
  tv.tv_sec = static_cast<long>(us / 1000000);
  tv.tv_usec = static_cast<long>(us % 1000000);
  return tv;
}

bool set_blocking(SOCKET s, bool blocking) {
  u_long nonblocking = blocking ? 0 : 1;
  return ::ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

}  // namespace

bool net_start() {
  // Started once and left running until the process ends: the library's sockets come and go
  // with every reconnection, and Windows cleans up after the process.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int last_socket_error() { return ::WSAGetLastError(); }

bool error_would_block(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }

bool error_interrupted(int code) { return code == WSAEINTR; }

socket_t open_socket(bool stream) {
  if (!net_start()) return kNoSocket;
  const SOCKET s = ::socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, stream ? IPPROTO_TCP : IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kNoSocket;
  // A program that runs others must not hand them the console's connection.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

void drop_socket(socket_t& s) {
  if (s != kNoSocket) ::closesocket(s);
  s = kNoSocket;
}

bool set_option(socket_t s, int level, int name, int value) {
  return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

int connect_within(socket_t s, const sockaddr_in& address, int timeout_ms) {
  if (!set_blocking(s, false)) return -1;
  int result = -1;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    result = 0;
  } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
    // The attempt goes on in the background: a failed one shows in the exception set.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv = to_timeval(int64_t{timeout_ms} * 1000);
    const int r = ::select(0, nullptr, &writable, &failed, &tv);
    if (r > 0 && FD_ISSET(s, &writable) && !FD_ISSET(s, &failed)) {
      result = 0;
    } else if (r > 0) {
      int error = 0;
      int length = sizeof error;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      ::WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
    } else if (r == 0) {
      ::WSASetLastError(WSAETIMEDOUT);
    }
  }
  const int saved = ::WSAGetLastError();
  if (!set_blocking(s, true)) result = -1;
  ::WSASetLastError(saved);
  return result;
}

int wait_readable(socket_t s, wait_set* set, int timeout_us) {
  if (s == kNoSocket) {
    ::WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  FD_ZERO(set);
  FD_SET(s, set);
  timeval tv = to_timeval(timeout_us);
  const int r = ::select(0, set, nullptr, nullptr, &tv);
  if (r <= 0) return r;
  return FD_ISSET(s, set) ? 1 : 0;
}

bool bytes_waiting(socket_t s) {
  fd_set set;
  return wait_readable(s, &set, 0) > 0;
}

int send_bytes(socket_t s, const void* bytes, int n) {
  return ::send(s, static_cast<const char*>(bytes), n > 0 ? n : 0, 0);
}

int recv_bytes(socket_t s, void* out, int n) { return ::recv(s, static_cast<char*>(out), n > 0 ? n : 0, 0); }

int recv_datagram(socket_t s, void* out, int n, uint32_t* from) {
  sockaddr_in sender{};
  int length = sizeof sender;
  int r = ::recvfrom(s, static_cast<char*>(out), n > 0 ? n : 0, 0, reinterpret_cast<sockaddr*>(&sender), &length);
  // A datagram larger than the buffer is cut to it, as on other systems, instead of being an error.
  if (r < 0 && ::WSAGetLastError() == WSAEMSGSIZE) r = n > 0 ? n : 0;
  if (from != nullptr) *from = r >= 0 && sender.sin_family == AF_INET ? sender.sin_addr.s_addr : 0;
  return r;
}

int send_datagram(socket_t s, const void* bytes, int n, const sockaddr_in& to) {
  return ::sendto(s, static_cast<const char*>(bytes), n > 0 ? n : 0, 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

int bind_to(socket_t s, const sockaddr_in& address) {
  return ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
}

bool parse_ipv4(const char* text, uint32_t* address) {
  const unsigned long ip = ::inet_addr(text);
  if (ip == INADDR_NONE) return false;
  *address = static_cast<uint32_t>(ip);
  return true;
}

uint32_t local_slash24_address() {
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG r = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 3 && r == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.resize(size);
    r = ::GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                               nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (r != NO_ERROR) return 0;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (sa == nullptr || sa->sa_family != AF_INET || u->OnLinkPrefixLength != 24) continue;
      unsigned char b[4];
      std::memcpy(b, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
      if (b[0] == 127) continue;
      return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    }
  }
  return 0;
}

int64_t monotonic_us() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  const int64_t ticks = now.QuadPart;
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

void sleep_ms(int ms) {
  if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
}

void sleep_us(int64_t us) {
  if (us <= 0) return;
  // Sleep counts whole milliseconds: round up, so a pause never ends before its time.
  const int64_t ms = (us + 999) / 1000;
  ::Sleep(static_cast<DWORD>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
}

}  // namespace mixlink::detail
