// SPDX-License-Identifier: MIT
// mixsim's server calls over Windows Sockets. Stopping: Windows has no SIGTERM. Ctrl+C,
// Ctrl+Break and closing the console window ask the loop to stop, and so does another program
// that sets the event named "mixsim-stop-PID" (PID: mixsim's process id), the way a program
// without a console of its own asks mixsim to stop as SIGTERM does elsewhere.
#include "net.h"

#include <windows.h>

#include <cstdint>

namespace mixsim::net {

namespace {

volatile LONG g_stop = 0;
HANDLE g_stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      InterlockedExchange(&g_stop, 1);
      return TRUE;
    default:
      return FALSE;
  }
}

void set_nonblocking(SOCKET s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}

}  // namespace

socket_t listen_on(const sockaddr_in& address, int backlog) {
  socket_t s = mixlink::detail::open_socket(true);
  if (s == kNoSocket) return s;
  set_nonblocking(s);
  // As on the other systems, so a restart finds the port free while old connections still close
  // (on Windows it would also let a second listener share the port: a test harness makes sure
  // none is there).
  mixlink::detail::set_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
  if (mixlink::detail::bind_to(s, address) != 0 || ::listen(s, backlog) != 0) {
    const int saved = WSAGetLastError();
    mixlink::detail::drop_socket(s);
    WSASetLastError(saved);
  }
  return s;
}

socket_t udp_on(const sockaddr_in& address) {
  socket_t s = mixlink::detail::open_socket(false);
  if (s == kNoSocket) return s;
  set_nonblocking(s);
  if (mixlink::detail::bind_to(s, address) != 0) {
    const int saved = WSAGetLastError();
    mixlink::detail::drop_socket(s);
    WSASetLastError(saved);
  }
  return s;
}

socket_t accept_client(socket_t listener, sockaddr_in* peer) {
  int length = sizeof *peer;
  const SOCKET s = ::accept(listener, reinterpret_cast<sockaddr*>(peer), &length);
  if (s == INVALID_SOCKET) return kNoSocket;
  set_nonblocking(s);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  mixlink::detail::set_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
  return s;
}

bool out_of_descriptors(int code) { return code == WSAEMFILE || code == WSAENOBUFS; }

bool accept_again(int code) { return code == WSAEINTR || code == WSAECONNRESET; }

int wait(std::vector<watch>& sockets, std::chrono::nanoseconds timeout) {
  std::vector<WSAPOLLFD> fds(sockets.size());
  for (size_t i = 0; i < sockets.size(); ++i) {
    fds[i].fd = sockets[i].s;
    fds[i].events = static_cast<SHORT>((sockets[i].read ? POLLRDNORM : 0) | (sockets[i].write ? POLLWRNORM : 0));
    fds[i].revents = 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  const int r = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), static_cast<INT>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
  if (r < 0) return WSAGetLastError() == WSAEINTR ? 0 : -1;
  for (size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].readable = (fds[i].revents & POLLRDNORM) != 0;
    sockets[i].writable = (fds[i].revents & POLLWRNORM) != 0;
    sockets[i].broken = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  return r;
}

long send_pieces(socket_t s, const piece* pieces, int n) {
  std::vector<WSABUF> buffers(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    buffers[static_cast<size_t>(i)].buf = const_cast<char*>(pieces[i].data);
    buffers[static_cast<size_t>(i)].len = static_cast<ULONG>(pieces[i].size);
  }
  DWORD sent = 0;
  if (WSASend(s, buffers.data(), static_cast<DWORD>(n), &sent, 0, nullptr, nullptr) != 0) return -1;
  return static_cast<long>(sent);
}

int receive_from(socket_t s, void* buf, int n, sockaddr_in* from) {
  int length = sizeof *from;
  const int r = ::recvfrom(s, static_cast<char*>(buf), n, 0, reinterpret_cast<sockaddr*>(from), &length);
  // A datagram larger than the buffer arrives cut, as elsewhere, rather than as an error.
  return r < 0 && WSAGetLastError() == WSAEMSGSIZE ? n : r;
}

bool local_address_toward(const sockaddr_in& peer, in_addr* local) {
  // Connecting a UDP socket sends nothing; it only asks the routing table which address this
  // host would send from.
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in self{};
  int length = sizeof self;
  const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 &&
                  ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) == 0;
  ::closesocket(s);
  if (ok) *local = self.sin_addr;
  return ok;
}

std::string error_text(int code) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(code) : s;
}

void catch_stop_requests() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
  const std::string name = "mixsim-stop-" + std::to_string(GetCurrentProcessId());
  g_stop_event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
}

bool stop_requested() {
  if (g_stop_event != nullptr && WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0) InterlockedExchange(&g_stop, 1);
  return InterlockedCompareExchange(&g_stop, 0, 0) != 0;
}

size_t client_limit(size_t) { return SIZE_MAX; }  // sockets are handles: no descriptor table to fill

}  // namespace mixsim::net
