// SPDX-License-Identifier: MIT
// The link's socket state under the names the library has always given it. Internal to the library
// (and to tests that look at it): callers outside see wTCPSocket, wMeterSocket and wConsoleAddress.
#pragma once

#include "platform.h"

extern mixlink::detail::socket_t wing_tsocket;  // TCP socket to the console; kNoSocket when none
extern mixlink::detail::socket_t wing_msocket;  // UDP socket (discovery, then meters); kNoSocket when none
extern struct sockaddr_in WING_tip;             // the console's native address (port 2222)
extern struct sockaddr_in WING_mip;             // discovery destination, later the meter socket's bind address
extern struct sockaddr* WING_mip_addr;          // points to WING_mip
extern mixlink::detail::wait_set wtcpr_fds;     // wait set of wRecv
extern mixlink::detail::wait_set wudp_mfds;     // wait set of wMRecv, wMRecvFrom and wGetMeters
