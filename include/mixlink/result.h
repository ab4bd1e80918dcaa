// SPDX-License-Identifier: MIT
/// \file
/// The library's results by name. Every operation on a link returns a signed int: W_SUCCESS (or a
/// count) for success, 0 for a time-out or nothing to report, a negative result for a failure.
/// A few numbers mean different things in different families of calls (-1 is a failed socket
/// call for the link, a container for a value read and a leaf for a container read); each meaning
/// has its own name here with the number it always had, and wResultText gives the words that are
/// right for the number whichever family returned it. (Success is W_SUCCESS, not W_OK: the POSIX
/// header unistd.h already defines W_OK, as 2, for access().)
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
  W_SUCCESS = 1,                 ///< done
  W_TIMED_OUT = 0,          ///< nothing came by the deadline, or nothing to report
  W_ERR_SOCKET = -1,        ///< a socket call failed (link calls)
  W_ERR_NO_LINK = -1,       ///< there is no connection (wLinkStatus, wLinkAlive)
  W_ERR_NOT_VALUE = -1,     ///< value reads: the node is a container, or its value a node hash
  W_ERR_NOT_CONTAINER = -1, ///< container reads: the token is out of range or no container
  W_ERR_BAD_TOKEN = -2,     ///< value reads: the token is out of range
  W_ERR_MALFORMED = -2,     ///< container reads: the reply is malformed or stopped short
  W_ERR_RECEIVE = -3,       ///< a receive failed, or the console ended the connection
  W_ERR_NO_ANSWER = -3,     ///< connecting: the console did not answer on the new connection
  W_ERR_SEND = -4,          ///< a send failed or sent too few bytes
  W_ERR_SELECT = -5,        ///< the channel select after connecting could not be sent
  W_ERR_NO_CONSOLE = -6,    ///< no address given and no console found, or a probe failed
  W_ERR_CONNECT = -7,       ///< socket set-up or connect failed, or no /24 network to search
  W_ERR_METER_PORT = -8,    ///< the meter socket could not be bound
  W_ERR_NO_MEMORY = -9,     ///< memory ran out
  W_ERR_TOO_BIG = -10,      ///< more came than the caller's buffer holds
  W_ERR_UNKNOWN_PATH = -13, ///< the path names no node of the dictionary
  W_ERR_UNKNOWN_HOST = -14, ///< the address is no IPv4 address, and no host of that name resolves
  W_ERR_LOST = -15,         ///< the console stopped answering
  W_ERR_ARGUMENT = -16,     ///< a pointer is null or a count out of range
};

/// Returns a short English text for result ("receive failed"), the same for every family that
/// returns the number; "success" for 1 and above, "unknown result" for a number no call returns.
/// The text is constant and never null.
const char* wResultText(int result);

#ifdef __cplusplus
}
#endif
