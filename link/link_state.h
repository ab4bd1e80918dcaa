// SPDX-License-Identifier: MIT
// What one console connection owns: its sockets and addresses, its receive stream with the escape
// state, its channel state, its keep-alive clock, what it knows of the console's liveness and its
// diagnostics handler. The default link keeps the state that has always been exported (ch_id_tx,
// SavedIP, wnext, the socket globals of sockets.h) in those very globals, so old callers see it
// move; every other link keeps it in `own`. Internal to the library and its tests.
#pragma once

#include <cstdint>

#include <mixlink/link.h>
#include <mixlink/protocol.h>

#include "platform.h"
#include "rx_stream.h"

struct w_link {
  // The state a link other than the default one keeps for itself.
  struct own_state {
    mixlink::detail::socket_t tsocket = mixlink::detail::kNoSocket;
    mixlink::detail::socket_t msocket = mixlink::detail::kNoSocket;
    sockaddr_in tip{};
    sockaddr_in mip{};
    char saved[64] = "";
    int64_t next = 0;
    int64_t now = 0;
    int tx = 0;
    int rx = 1;
    mixlink::detail::wait_set tfds{};
    mixlink::detail::wait_set mfds{};
  };

  // default_link: the process's default link, whose state is the exported globals.
  explicit w_link(bool default_link);
  w_link(const w_link&) = delete;
  w_link& operator=(const w_link&) = delete;

  own_state own;
  mixlink::detail::socket_t& tsocket;  // TCP socket to the console; kNoSocket when none
  mixlink::detail::socket_t& msocket;  // UDP meter socket; kNoSocket when none
  sockaddr_in& tip;                    // the console's native address
  sockaddr_in& mip;                    // the meter socket's bind address
  char* saved;                         // address text of the last connection (64 bytes)
  int64_t& next;                       // monotonic second after which the keep-alive is due
  int64_t& now;                        // monotonic second read by the last keep-alive call
  int& tx;                             // channel the last send selected
  int& rx;                             // current receive channel
  mixlink::detail::wait_set& tfds;
  mixlink::detail::wait_set& mfds;

  int port = W_NATIVE_PORT;  // the console's native port of the last connection

  mixlink::detail::rx_stream stream;
  bool ended = false;   // recv has reported the end of the stream
  bool failed = false;  // recv has failed (not merely timed out)
  int last_block = 0;   // raw bytes of the last receive

  // Liveness, on the monotonic clock in microseconds.
  int64_t heard_us = 0;   // when the console last sent anything on this connection
  int64_t asked_us = 0;   // when a keep-alive went out that nothing has answered since; 0 none
  bool answered = false;  // the console has sent something on this connection

  w_diagnostic_handler handler = nullptr;
  void* context = nullptr;
};

namespace mixlink::detail {

// The process's default link, which the classic calls use.
w_link& default_link();

// Notes that the console has just sent something on link.
void heard(w_link& link);

}  // namespace mixlink::detail
