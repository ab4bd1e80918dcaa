// SPDX-License-Identifier: MIT
#include "console.h"

#include <mixlink/mixlink.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output.h"

namespace mixtool {

namespace {

volatile std::sig_atomic_t got_signal = 0;
void on_signal(int) { got_signal = 1; }

Flow output_state = Flow::open;
int output_errno = 0;

// Whether the write that failed with error found the reader gone. The Windows C runtime reports
// a closed pipe as EINVAL, so there the system's own error code tells.
bool reader_gone(int error) {
#ifdef _WIN32
  // ERROR_BROKEN_PIPE, ERROR_NO_DATA (the pipe is being closed), ERROR_PIPE_NOT_CONNECTED
  constexpr unsigned long kPipeGone[] = {109, 232, 233};
  for (unsigned long code : kPipeGone)
    if (_doserrno == code) return true;
  return error == EPIPE;
#else
  return error == EPIPE;
#endif
}

std::string g_last_diagnostic;

void keep_diagnostic(void*, const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  if (!line.empty()) g_last_diagnostic = line;
}

}  // namespace

void keep_library_diagnostics() { wSetDiagnostics(keep_diagnostic, nullptr); }

std::string last_diagnostic() {
  std::string text;
  text.swap(g_last_diagnostic);
  return text;
}

bool find_console(std::string* address) {
  char found[64] = "";
  const int r = wSearchWING(found);
  if (r == 1) {
    *address = found;
    return true;
  }
  if (r == 0)
    std::fprintf(stderr, "mixlink: no console answered the discovery broadcast (give its address with -a)\n");
  else if (r == -7 && getmyIP() == 0)
    std::fprintf(stderr, "mixlink: no IPv4 network with mask 255.255.255.0 to search (give the address with -a)\n");
  else
    std::fprintf(stderr, "mixlink: the discovery broadcast failed: %s (%d)\n", wResultText(r), r);
  return false;
}

bool connection_closed() {
  const int state = wLinkStatus(wLinkDefault());
  return state == 0 || state == -3;
}

bool say_closed() {
  std::fprintf(stderr, "mixlink: the console closed the connection\n");
  return false;
}

Session::~Session() {
  if (open_) wLinkClose(wLinkDefault());
}

bool Session::open(const std::string& address, int timeout_us) {
  std::string where = address;
  if (where.empty() && !find_console(&where)) return false;
  char text[64] = "";
  std::snprintf(text, sizeof text, "%s", where.c_str());
  // The link's own forms: A.B.C.D, A.B.C.D:PORT and host names; connecting within the time-out.
  const int r = wLinkOpenTimed(wLinkDefault(), text, timeout_us);
  if (r != W_SUCCESS) {
    std::fprintf(stderr, "mixlink: cannot connect to %s: %s (%d)\n", where.c_str(), wResultText(r), r);
    return false;
  }
  open_ = true;
  return true;
}

bool console_alive() {
  w_link* link = wLinkDefault();
  if (wLinkKeepAlive(link) != W_SUCCESS) {
    std::fprintf(stderr, "mixlink: the console does not answer any more (keep-alive failed)\n");
    return false;
  }
  const int alive = wLinkAlive(link);
  if (alive == W_ERR_LOST) {
    std::fprintf(stderr, "mixlink: the console stopped answering\n");
    return false;
  }
  if (alive != W_SUCCESS || wLinkStatus(link) != 1) return say_closed();
  return true;
}

uint32_t token_of(const std::string& path) {
  if (path.empty()) {
    std::fprintf(stderr, "mixlink: an empty path names no node\n");
    return 0;
  }
  const uint32_t token = wGetTokenFromName(path.c_str());
  if (token == 0) std::fprintf(stderr, "mixlink: %s: no such node\n", text_escaped(path).c_str());
  return token;
}

void read_failed(const char* what, const std::string& path, int r, long timeout_ms) {
  const std::string detail = last_diagnostic();
  const size_t stopped = detail.find("stopped after");
  const bool closed = connection_closed();
  if (stopped != std::string::npos)
    std::fprintf(stderr, "mixlink: %s of %s: the reply %s%s\n", what, path.c_str(), detail.substr(stopped).c_str(),
                 closed ? " (the console closed the connection)" : "");
  else if (closed)
    std::fprintf(stderr, "mixlink: %s of %s: the console closed the connection\n", what, path.c_str());
  else if (r == 0)
    std::fprintf(stderr, "mixlink: %s of %s: no reply within %ld ms\n", what, path.c_str(), timeout_ms);
  else
    std::fprintf(stderr, "mixlink: %s of %s: %s (%d)\n", what, path.c_str(), wResultText(r), r);
}

void catch_signals() {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool interrupted() { return got_signal != 0; }

Flow output_flow() {
  if (output_state != Flow::open) return output_state;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return Flow::open;
  // The write that failed has just set errno: nothing else runs between printing and this call.
  output_errno = errno;
  output_state = reader_gone(output_errno) ? Flow::reader_gone : Flow::failed;
  return output_state;
}

const char* output_error() { return std::strerror(output_errno); }

}  // namespace mixtool
