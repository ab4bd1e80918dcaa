// SPDX-License-Identifier: MIT
// The extension mixlink._core under the Python package mixlink: the node dictionary without a
// console, and the one console connection with its value, container and definition reads, the
// event stream and meters. The package (python/mixlink/) re-exports it and adds what is written
// in Python: Error, Hash and the asyncio interface.
//
// Every value reaches Python as the value reads decode it (wParesToValueBounded), whether it
// comes from get, dump or events: an offset integer (0x40-0x7F) is 1 to 64 and a node-hash value
// is a mixlink.Hash (the path of the node it names). The library's container records and event records use its stream decoder,
// which reads those codes differently, so dump walks the raw reply and events walk the event
// bytes the library takes out of its receive stream (whole events only, however TCP cut them).
// Texts that are not valid UTF-8 are decoded with 'replace', so printing or saving a value never
// fails; Console.raw gives the exact bytes.
//
// Blocking calls go through calls.h with the GIL released, each bounded by its timeout. Waits
// that Python cannot bound (the event and meter iterators) are cut into short ones with a Ctrl-C
// check between them; a signal during any other wait is raised once the call returns, by its
// timeout at the latest. The library's diagnostics go to the logger "mixlink", never to stderr
// of their own accord.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <mixlink/dictionary.h>
#include <mixlink/meters.h>
#include <mixlink/nodes.h>
#include <mixlink/protocol.h>
#include <mixlink/result.h>
#include <mixlink/values.h>
#include <mixlink/version.h>

#include "calls.h"
#include "entries.h"

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kDefaultTimeout = 5.0;
constexpr double kDiscoveryRound = 2.5;  // five probes, half a second apart
constexpr auto kSignalCheck = std::chrono::milliseconds(100);  // longest wait between Ctrl-C checks
constexpr int kLongestEntry = mixpy::kEntryHeader + 258;       // 0xD1 with L = 255: 258 bytes
constexpr long kReplyClose = 1;     // the byte that ends a container's reply
constexpr long kTextPerLeaf = 300;  // a name part, "=" and the longest value text
constexpr int kEventBytes = 64 * 1024;
constexpr int kMeterId = 3;
constexpr int kMeterBitmapRows = 29;
constexpr auto kMeterRenewal = std::chrono::seconds(5);
constexpr int kLargestDatagram = 65536;

// ---- Two types written in Python (mixlink/_types.py): the error with its code, and the
// node-hash value ----

// Set once at import and held for the life of the process.
PyObject* g_error_type = nullptr;
PyObject* g_hash_type = nullptr;

[[noreturn]] void raise_error(const std::string& message, py::object code) {
  py::object error = py::reinterpret_borrow<py::object>(g_error_type)(message, code);
  PyErr_SetObject(g_error_type, error.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raise_timeout(const std::string& message) {
  PyErr_SetString(PyExc_TimeoutError, message.c_str());
  throw py::error_already_set();
}

// Raises mixlink.Error for a failed call's result.
[[noreturn]] void raise_failure(const std::string& what, int result) {
  if (result == mixpy::kNotOpen) raise_error(what + ": the connection is closed", py::none());
  if (result == W_ERR_LOST) raise_error(what + ": the console stopped answering", py::int_(result));
  raise_error(what + ": " + wResultText(result) + " (" + std::to_string(result) + ")", py::int_(result));
}

[[noreturn]] void raise_closed(const std::string& what) {
  raise_error(what + ": the console closed the connection", py::int_(static_cast<int>(W_ERR_RECEIVE)));
}

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// A library wait that a signal cut short (its handler has run by now, in check_signals).
bool interrupted(int result, int error) { return result < 0 && result >= W_ERR_ARGUMENT && error == EINTR; }

double seconds(std::optional<double> value, double fallback, const char* name) {
  const double s = value.value_or(fallback);
  if (!(s >= 0)) throw py::value_error(std::string(name) + " must be 0 or more seconds");
  return s;
}

Clock::duration duration_of(double s) {
  return std::chrono::duration_cast<Clock::duration>(Seconds(std::min(s, 1e9)));
}

// A wait for the library in microseconds: at least 1, since 0 there means without limit.
int micros(Clock::duration d) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  return static_cast<int>(std::clamp<long long>(us, 1, INT_MAX));
}

// ---- Values ----

py::str decode_text(const char* text) {
  PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// A text the library allocated; freed here.
py::object text_value(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return text == nullptr ? py::str("") : decode_text(text);
}

py::object path_of_hash(uint32_t hash) {
  const uint32_t token = wGetTokenFromHash(hash);
  return token == 0 ? py::object(py::none()) : py::object(py::str(wGetNameFromToken(token)));
}

py::object value_object(int type, const w_value& v) {
  switch (type) {
    case W_VALUE_HASH: return py::reinterpret_borrow<py::object>(g_hash_type)(v.hash, path_of_hash(v.hash));
    case W_VALUE_INT: return py::int_(v.i);
    case W_VALUE_FLOAT: return py::float_(static_cast<double>(v.f));
    default: return text_value(v.s);
  }
}

// The value of a token of width bytes; None when the entry holds none (width 0).
py::object decode_value(const unsigned char* token, int width) {
  int type = -1;
  w_value v{};
  const int r = width > 0 ? wParesToValueBounded(token, width, &type, &v) : 0;
  if (r == W_ERR_NO_MEMORY) throw std::bad_alloc();
  return r == 1 ? value_object(type, v) : py::none();
}

// ---- The dictionary ----

const char* const kTypeNames[] = {"container", "int", "float", "string", "slot"};

uint32_t token_of(const std::string& path) {
  const uint32_t token = path.find('\0') == std::string::npos ? wGetTokenFromName(path.c_str()) : 0;
  if (token == 0) throw py::key_error(path);
  return token;
}

uint32_t leaf_token(const std::string& path) {
  const uint32_t token = token_of(path);
  if (wGetType(token) == W_CONTAINER) throw py::value_error(path + " is a container: read it with dump");
  return token;
}

uint32_t container_token(const std::string& path) {
  const uint32_t token = token_of(path);
  if (wGetType(token) != W_CONTAINER) throw py::value_error(path + " is a leaf: read it with get");
  return token;
}

struct Node {
  uint32_t token;
};

bool starts_with_any_case(const char* path, const std::string& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (path[i] == '\0') return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(path[i]) != lower(prefix[i])) return false;
  }
  return true;
}

std::vector<Node> nodes(const std::string& prefix) {
  uint32_t first = 1;
  uint32_t end = static_cast<uint32_t>(wds_imax);
  const bool plain = !prefix.empty() && prefix.find('\0') == std::string::npos;
  const uint32_t token = plain ? wGetTokenFromName(prefix.c_str()) : 0;
  if (token != 0) {
    first = token;
    end = wNodeSubtreeEnd(token);
  }
  std::vector<Node> out;
  for (uint32_t t = first; t < end; ++t)
    if (token != 0 || starts_with_any_case(wGetNameFromToken(t), prefix)) out.push_back({t});
  return out;
}

// ---- Calls on the connection ----

// The library's diagnostics, as records of the logger "mixlink" at level WARNING. The logger has
// a NullHandler, so they are shown only where the program configures logging.
PyObject* g_log_warning = nullptr;

void log_diagnostics() {
  for (const std::string& text : mixpy::take_diagnostics())
    py::reinterpret_borrow<py::object>(g_log_warning)(py::str("%s"), decode_text(text.c_str()));
}

// Runs call (one or more calls.h functions) with the GIL released, then logs what the library
// said meanwhile.
template <class Call>
auto blocking(Call call) {
  decltype(call()) result;
  {
    py::gil_scoped_release nogil;
    result = call();
  }
  log_diagnostics();
  return result;
}

// wLinkState() of connection: 1 open, 0 the console has ended it, -3 a receive failed. With drain
// the events that have come are dropped first, which also brings in the console's end of stream.
int state_of(const mixpy::Connection& connection, bool drain = false) {
  return blocking([&] { return mixpy::link_state(connection, drain); });
}

// Raises for a failed read: a closed connection when the console has ended it, else the failure.
[[noreturn]] void raise_read_failure(const std::string& what, int result, const mixpy::Connection& connection) {
  if (result == mixpy::kEnded || (result != mixpy::kNotOpen && state_of(connection) == 0)) raise_closed(what);
  raise_failure(what, result);
}

// Raises for a read that gave nothing by its deadline: its time-out, or a closed connection when
// the console ended it meanwhile (a timed read waits out its time-out on an ended stream).
[[noreturn]] void raise_read_timeout(const std::string& what, double limit, const mixpy::Connection& connection) {
  if (state_of(connection) == 0) raise_closed(what);
  char within[32];
  std::snprintf(within, sizeof within, "%g", limit);
  raise_timeout(what + ": no reply within " + within + " s");
}

// ---- The connection ----

class Console {
 public:
  Console(mixpy::Connection connection, std::string address, double timeout)
      : connection_(std::move(connection)), address_(std::move(address)), timeout_(timeout) {}
  // Waits for a call another thread is making on the connection, as close() does.
  ~Console() {
    if (connection_ != nullptr) mixpy::close(connection_);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  const mixpy::Connection& connection() const { return connection_; }
  const std::string& address() const { return address_; }
  double timeout() const { return timeout_; }
  bool closed() const { return connection_ == nullptr; }

  void close() {
    const mixpy::Connection connection = connection_;
    if (connection == nullptr) return;
    connection_ = nullptr;
    blocking([&] { return mixpy::close(connection); });
  }

  py::object get(const std::string& path, std::optional<double> timeout) {
    return read_leaf(leaf_token(path), "get " + path, seconds(timeout, timeout_, "timeout"));
  }

  py::dict get_many(const py::iterable& paths, std::optional<double> timeout) {
    if (py::isinstance<py::str>(paths)) throw py::type_error("get_many takes an iterable of paths, not one path");
    const double s = seconds(timeout, timeout_, "timeout");
    // Every path is checked before anything is sent.
    std::vector<std::pair<py::object, uint32_t>> wanted;
    for (const py::handle p : paths) {
      if (!py::isinstance<py::str>(p)) throw py::type_error("a path is a str");
      wanted.emplace_back(py::reinterpret_borrow<py::object>(p), leaf_token(p.cast<std::string>()));
    }
    // All of them in one pipelined read: a round trip for every window of requests, not for each.
    std::vector<uint32_t> tokens;
    for (const auto& w : wanted) tokens.push_back(w.second);
    std::vector<w_token_value> records;
    const mixpy::Connection connection = connection_;
    int r = 0, error = 0;
    {
      py::gil_scoped_release nogil;
      r = mixpy::read_values(connection, tokens, &records, wait_of(s));
      error = errno;
    }
    // Every text the library allocated is owned before anything can raise.
    std::vector<py::object> values;
    for (const w_token_value& rec : records) values.push_back(rec.token != 0 ? value_object(rec.type, rec.value) : py::none());
    log_diagnostics();
    check_signals();
    if (r < 0 && !interrupted(r, error)) raise_read_failure("get_many", r, connection);
    py::dict out;
    for (size_t i = 0; i < wanted.size(); ++i) {
      if (records[i].token == 0) raise_read_timeout("get " + wanted[i].first.cast<std::string>(), s, connection);
      out[wanted[i].first] = values[i];
    }
    return out;
  }

  py::dict dump(const std::string& path, std::optional<double> timeout) {
    const uint32_t token = container_token(path);
    const int leaves = wNodeLeafCount(token);
    const std::string what = "dump " + path;
    const Reply reply = read_reply(token, what, seconds(timeout, timeout_, "timeout"));
    int end = 0;
    const int count = wCountReplyEntries(reply.bytes.get(), reply.length, leaves, &end);
    if (count != leaves)
      raise_error(what + ": the reply held " + std::to_string(count < 0 ? 0 : count) + " of " +
                      std::to_string(leaves) + " entries",
                  py::int_(static_cast<int>(W_ERR_MALFORMED)));
    py::dict out;
    mixpy::walk_entries(reply.bytes.get(), end, [&](uint32_t hash, const unsigned char* value, int width) {
      const uint32_t leaf = wGetTokenFromHash(hash);
      if (leaf == 0 || wGetType(leaf) == W_CONTAINER)
        raise_error(what + ": an entry names no leaf", py::int_(static_cast<int>(W_ERR_MALFORMED)));
      out[py::str(wGetNameFromToken(leaf))] = decode_value(value, width);
    });
    return out;
  }

  py::str dump_text(const std::string& path, std::optional<double> timeout) {
    const uint32_t token = container_token(path);
    const size_t capacity = static_cast<size_t>(wNodeLeafCount(token)) * kTextPerLeaf + 16;
    std::unique_ptr<char[]> text(new char[capacity]);
    const mixpy::Connection connection = connection_;
    const double limit = seconds(timeout, timeout_, "timeout");
    const int r = blocking([&] { return mixpy::read_text(connection, token, text.get(), capacity, wait_of(limit)); });
    check_signals();
    if (r == 0) raise_read_timeout("dump_text " + path, limit, connection);
    if (r != 1) raise_read_failure("dump_text " + path, r, connection);
    return decode_text(text.get());
  }

  py::bytes definition(const std::string& path, std::optional<double> timeout) {
    const uint32_t token = token_of(path);
    std::vector<unsigned char> bytes;
    const mixpy::Connection connection = connection_;
    const double limit = seconds(timeout, timeout_, "timeout");
    const int r = blocking([&] { return mixpy::read_definition(connection, token, &bytes, wait_of(limit)); });
    check_signals();
    if (r == 0) raise_read_timeout("definition " + path, limit, connection);
    if (r != 1) raise_read_failure("definition " + path, r, connection);
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  py::bytes raw(const std::string& path, std::optional<double> timeout) {
    const Reply reply = read_reply(token_of(path), "raw " + path, seconds(timeout, timeout_, "timeout"));
    return py::bytes(reinterpret_cast<const char*>(reply.bytes.get()), static_cast<size_t>(reply.length));
  }

 private:
  struct Reply {
    std::unique_ptr<unsigned char[]> bytes;
    int length = 0;
  };

  static int wait_of(double limit) { return micros(duration_of(limit)); }

  py::object read_leaf(uint32_t token, const std::string& what, double limit) {
    const Clock::time_point deadline = Clock::now() + duration_of(limit);
    const mixpy::Connection connection = connection_;
    for (;;) {
      int type = -1;
      w_value value{};
      int r = 0, error = 0;
      {
        py::gil_scoped_release nogil;
        r = mixpy::read_value(connection, token, &type, &value, micros(deadline - Clock::now()));
        error = errno;
      }
      // The value (a text the library allocated) is owned before anything can raise.
      const py::object got = r == 1 ? value_object(type, value) : py::none();
      log_diagnostics();
      if (r == 1) return got;
      check_signals();
      if (r != 0 && !interrupted(r, error)) raise_read_failure(what, r, connection);
      // 0 is also what the read gives when another node's answer (an event, a late reply) came
      // first: ask again while time is left.
      if (Clock::now() < deadline) continue;
      raise_read_timeout(what, limit, connection);
    }
  }

  // The whole raw reply to a read of token: its entries (one per leaf) and, for a container, the
  // byte that ends it.
  Reply read_reply(uint32_t token, const std::string& what, double limit) {
    const long size = static_cast<long>(wNodeLeafCount(token)) * kLongestEntry + kReplyClose;
    Reply reply{std::unique_ptr<unsigned char[]>(new unsigned char[static_cast<size_t>(size)]), 0};
    const mixpy::Connection connection = connection_;
    const int n = blocking(
        [&] { return mixpy::read_raw(connection, token, reply.bytes.get(), static_cast<int>(size), wait_of(limit)); });
    check_signals();
    if (n < 0) raise_read_failure(what, n, connection);
    if (n == 0) raise_read_timeout(what, limit, connection);
    reply.length = n;
    return reply;
  }

  mixpy::Connection connection_;
  std::string address_;
  double timeout_;
};

// Change events as (path, value) pairs.
class EventIterator {
 public:
  EventIterator(Console& console, std::optional<double> duration, std::optional<double> idle)
      : console_(console), buffer_(kEventBytes), quiet_since_(Clock::now()) {
    if (idle) limit_ = duration_of(seconds(idle, 0, "idle"));
    if (duration) end_ = quiet_since_ + duration_of(seconds(duration, 0, "duration"));
  }

  py::object next() {
    while (pending_.empty()) {
      const Clock::time_point now = Clock::now();
      Clock::duration wait = kSignalCheck;
      if (end_) {
        if (now >= *end_) throw py::stop_iteration();
        wait = std::min(wait, *end_ - now);
      }
      if (limit_) {
        if (now - quiet_since_ >= *limit_) throw py::stop_iteration();
        wait = std::min(wait, *limit_ - (now - quiet_since_));
      }
      const mixpy::Connection connection = console_.connection();
      int state = 1, alive = 1;
      const int n = blocking([&] {
        const int got = mixpy::take_events(connection, buffer_.data(), kEventBytes, micros(wait));
        // Nothing came: the console may have ended the stream (the read gives 0 then too).
        if (got == 0) state = mixpy::link_state(connection, false);
        // The keep-alive goes out when due, however busy the stream is, and a console that
        // stopped answering shows.
        if (got >= 0 && state == 1) alive = mixpy::keep_alive(connection);
        return got;
      });
      check_signals();
      if (n < 0) raise_read_failure("events", n, connection);
      if (state == 0 || (alive == W_ERR_RECEIVE && state_of(connection) == 0)) raise_closed("events");
      if (alive != W_SUCCESS) raise_failure("events", alive);
      if (n > 0) take(n);
    }
    py::object event = std::move(pending_.front());
    pending_.pop_front();
    return event;
  }

 private:
  // The events of length bytes of whole entries, as the library took them out of its stream (the
  // answer to the keep-alive and stray bytes are left out there already; a late reply to a read
  // that gave up comes as an event of its node).
  void take(int length) {
    mixpy::walk_entries(buffer_.data(), length, [&](uint32_t hash, const unsigned char* value, int width) {
      const uint32_t token = wGetTokenFromHash(hash);
      if (width == 0 || token == 0 || wGetType(token) == W_CONTAINER) return;
      pending_.push_back(py::make_tuple(py::str(wGetNameFromToken(token)), decode_value(value, width)));
    });
    if (!pending_.empty()) quiet_since_ = Clock::now();
  }

  Console& console_;
  std::vector<unsigned char> buffer_;
  std::deque<py::object> pending_;
  std::optional<Clock::duration> limit_;  // idle: the longest quiet
  std::optional<Clock::time_point> end_;  // duration: when the iterator ends
  Clock::time_point quiet_since_;
};

// Meter datagrams, with the subscription renewed in time.
class MeterIterator {
 public:
  MeterIterator(Console& console, bool rta, int port, const py::bytes& bitmap, std::optional<double> duration,
                std::optional<double> idle)
      : console_(console), buffer_(kLargestDatagram) {
    if (port < 1 || port > 65535) throw py::value_error("port must be 1 to 65535");
    const std::string bits = bitmap;
    if (bits.size() > kMeterBitmapRows) throw py::value_error("bitmap holds at most 29 bytes");
    unsigned char rows[32] = {};
    std::memcpy(rows, bits.data(), bits.size());
    if (rta) rows[mixlink::kRtaBitmapRow] |= mixlink::kRtaBitmapBit;
    if (std::all_of(rows, rows + kMeterBitmapRows, [](unsigned char b) { return b == 0; }))
      throw py::value_error("no meters selected: set rta or bitmap");
    if (idle) limit_ = duration_of(seconds(idle, 0, "idle"));
    const double run_for = duration ? seconds(duration, 0, "duration") : 0;
    const mixpy::Connection connection = console_.connection();
    const int r = blocking([&] { return mixpy::subscribe_meters(connection, port, kMeterId, rows); });
    check_signals();
    if (r != 1) raise_failure("meters on port " + std::to_string(port), r);
    renewed_ = quiet_since_ = Clock::now();
    if (duration) end_ = renewed_ + duration_of(run_for);
  }

  py::bytes next() {
    const mixpy::Connection connection = console_.connection();
    for (;;) {
      const Clock::time_point now = Clock::now();
      if (limit_ && now - quiet_since_ >= *limit_) throw py::stop_iteration();
      if (end_ && now >= *end_) throw py::stop_iteration();
      if (now - renewed_ >= kMeterRenewal) {
        const int r = blocking([&] { return mixpy::renew_meters(connection, kMeterId); });
        if (r != 1) raise_failure("meters: renewal", r);
        renewed_ = now;
      }
      Clock::duration wait = kSignalCheck;
      if (limit_) wait = std::min(wait, *limit_ - (now - quiet_since_));
      if (end_) wait = std::min(wait, *end_ - now);
      int error = 0;
      const int n = blocking([&] {
        const int got = mixpy::read_meters(connection, buffer_.data(), kLargestDatagram, micros(wait));
        error = errno;
        return got;
      });
      check_signals();
      if (n > 0) {
        quiet_since_ = Clock::now();
        return py::bytes(reinterpret_cast<const char*>(buffer_.data()), static_cast<size_t>(n));
      }
      if (n < 0 && !interrupted(n, error)) raise_failure("meters", n);
      if (n != 0) continue;
      // No datagram: has the console gone? The events that came on the connection meanwhile are
      // dropped on the way, so they neither pile up nor hold up the console's sends.
      const int state = state_of(connection, true);
      if (state == 0) raise_closed("meters");
      if (state == W_ERR_RECEIVE) raise_failure("meters", state);
      const int alive = blocking([&] { return mixpy::keep_alive(connection); });
      if (alive != W_SUCCESS) raise_failure("meters", alive);
    }
  }

 private:
  Console& console_;
  std::vector<unsigned char> buffer_;
  std::optional<Clock::duration> limit_;
  std::optional<Clock::time_point> end_;
  Clock::time_point renewed_;
  Clock::time_point quiet_since_;
};

// ---- Module functions ----

std::unique_ptr<Console> connect(std::optional<std::string> address, double timeout) {
  const double limit = seconds(timeout, 0, "timeout");
  const std::string text = address.value_or("");
  if (text.size() >= 64 || text.find('\0') != std::string::npos) throw py::value_error("not an address: " + text);
  mixpy::Connection connection;
  std::string reached;
  int r = 0;
  {
    py::gil_scoped_release nogil;
    r = mixpy::open(text, micros(duration_of(limit)), &connection, &reached);
  }
  std::unique_ptr<Console> console;
  if (r == 1) console = std::make_unique<Console>(std::move(connection), reached, limit);
  // After Ctrl-C (or a logging handler that raises) a new connection is closed again with console.
  log_diagnostics();
  check_signals();
  if (r == 1) return console;
  if (r == W_ERR_NO_CONSOLE) raise_error("connect: no console found on the local network", py::int_(r));
  raise_failure(text.empty() ? "connect" : "connect to " + text, r);
}

std::optional<std::string> discover(double timeout) {
  const double limit = seconds(timeout, 0, "timeout");
  const int rounds = std::max(1, static_cast<int>(std::ceil(limit / kDiscoveryRound - 1e-9)));
  for (int i = 0; i < rounds; ++i) {
    std::string address;
    int error = 0;
    const int r = blocking([&] {
      const int got = mixpy::discover(&address);
      error = errno;
      return got;
    });
    check_signals();
    if (r == 1) return address;
    if (r == 0 || interrupted(r, error)) continue;
    if (r == W_ERR_CONNECT) raise_error("discover: no IPv4 network with mask 255.255.255.0 to search", py::int_(r));
    raise_failure("discover", r);
  }
  return std::nullopt;
}

py::list rta_values(const py::buffer& datagram) {
  const py::buffer_info info = datagram.request();
  if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1) throw py::type_error("a datagram is bytes");
  int16_t values[mixlink::kRtaValues];
  const int length = static_cast<int>(std::min<py::ssize_t>(info.size, INT_MAX));
  if (wRtaValues(static_cast<const unsigned char*>(info.ptr), length, values) != 1)
    throw py::value_error("a datagram of " + std::to_string(info.size) + " bytes holds no RTA block (" +
                          std::to_string(mixlink::kRtaBytes) + " needed)");
  py::list list(mixlink::kRtaValues);
  for (int i = 0; i < mixlink::kRtaValues; ++i) list[static_cast<size_t>(i)] = py::int_(values[i]);
  return list;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled part of the package mixlink, which re-exports it: use mixlink.";
  m.attr("__version__") = wVersionText();

  const py::module_ logging = py::module_::import("logging");
  const py::object logger = logging.attr("getLogger")("mixlink");
  logger.attr("addHandler")(logging.attr("NullHandler")());
  g_log_warning = py::object(logger.attr("warning")).release().ptr();
  mixpy::collect_diagnostics();

  const py::module_ types = py::module_::import("mixlink._types");
  g_error_type = types.attr("Error").ptr();
  g_hash_type = types.attr("Hash").ptr();
  Py_INCREF(g_error_type);
  Py_INCREF(g_hash_type);
  m.def("_path_of_hash", &path_of_hash, py::arg("hash"), "The path of the node whose hash is hash, or None.");

  py::class_<Node>(m, "Node", "One node of the console's dictionary (no console needed).")
      .def_property_readonly("token", [](const Node& n) { return n.token; }, "Row of the node in the dictionary.")
      .def_property_readonly("hash", [](const Node& n) { return wGetHashFromToken(n.token); },
                             "The node's hash, which names it on the wire.")
      .def_property_readonly("type", [](const Node& n) { return kTypeNames[wGetType(n.token)]; },
                             "'container', 'int', 'float', 'string' or 'slot' (a user-control slot, which "
                             "holds an integer or names a node).")
      .def_property_readonly("path", [](const Node& n) { return wGetNameFromToken(n.token); },
                             "The full dotted path, spelled as the console spells it.")
      .def_property_readonly("leaf_count", [](const Node& n) { return wNodeLeafCount(n.token); },
                             "Leaves at or below the node (1 for a leaf).")
      .def("__eq__", [](const Node& a, const Node& b) { return a.token == b.token; })
      .def("__hash__", [](const Node& n) { return n.token; })
      .def("__repr__", [](const Node& n) {
        return "mixlink.Node('" + std::string(wGetNameFromToken(n.token)) +
               "', token=" + std::to_string(n.token) + ", type='" + kTypeNames[wGetType(n.token)] + "')";
      });

  m.def("node", [](const std::string& path) { return Node{token_of(path)}; }, py::arg("path"),
        "The node at path (any letter case); KeyError when there is none.");
  m.def("nodes", &nodes, py::arg("prefix") = "",
        "Nodes in tree order: the subtree of prefix when it names a node, else every node whose "
        "path starts with prefix (any letter case); all of them for the empty prefix.");
  m.def("discover", &discover, py::arg("timeout") = kDiscoveryRound,
        "Finds a console on the local network by broadcast and returns its address, or None. "
        "Probes go out in rounds of five, half a second apart, until timeout seconds are used "
        "(at least one round). Needs an IPv4 network with mask 255.255.255.0 (else Error, code "
        "-7). Runs while connections are open.");
  m.def("rta_values", &rta_values, py::arg("datagram"),
        "The 120 analyser band values of a meter datagram, as signed 16-bit numbers; ValueError "
        "when the datagram is too short to hold them.");

  // Registered before Console, so that the signatures of its methods name them.
  py::class_<EventIterator>(m, "EventIterator", "Change events of a Console, as (path, value) pairs.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &EventIterator::next);
  py::class_<MeterIterator>(m, "MeterIterator", "Meter datagrams of a Console, as bytes.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &MeterIterator::next);

  py::class_<Console>(m, "Console",
                      "The connection to a console, made by connect(). One per process; a context "
                      "manager that closes it. Calls block (without holding the GIL) and run one at "
                      "a time; reads made while iterating events consume the events that arrive "
                      "meanwhile. Every read raises TimeoutError when its whole reply has not come "
                      "within its timeout (default: the connection's), and Error with code -3 once "
                      "the console has closed the connection.")
      .def_property_readonly("address", &Console::address, "The address connected to.")
      .def_property_readonly("timeout", &Console::timeout, "Seconds that reads wait when given no timeout.")
      .def_property_readonly("closed", &Console::closed, "True once closed.")
      .def("get", &Console::get, py::arg("path"), py::arg("timeout") = py::none(),
           "The value of the leaf at path: int, float, str, or Hash (a str: the node's path) for a "
           "value that names a node. "
           "KeyError for an unknown path, ValueError for a container, TimeoutError when no reply "
           "comes within timeout seconds (default: the connection's).")
      .def("get_many", &Console::get_many, py::arg("paths"), py::arg("timeout") = py::none(),
           "get for each of paths (all checked before any is read): a dict keyed by the paths as given.")
      .def("dump", &Console::dump, py::arg("path"), py::arg("timeout") = py::none(),
           "Every leaf below the container at path, read with one request: a dict of full path to "
           "value in tree order (None for a leaf whose reply held no value). ValueError for a leaf.")
      .def("dump_text", &Console::dump_text, py::arg("path"), py::arg("timeout") = py::none(),
           "The container's compact dump: each leaf's name relative to the leaf before it, '=', "
           "its value text, comma-separated, ending in a line feed.")
      .def("definition", &Console::definition, py::arg("path"), py::arg("timeout") = py::none(),
           "The node's definition bytes as the console sends them (a container's too).")
      .def("raw", &Console::raw, py::arg("path"), py::arg("timeout") = py::none(),
           "The console's reply to a read of path, as received: for a leaf 0xD7, its hash and the "
           "value token; for a container one such entry per leaf.")
      .def("events",
           [](Console& c, std::optional<double> duration, std::optional<double> idle, std::optional<double> timeout) {
             return EventIterator(c, duration, idle ? idle : timeout);
           },
           py::kw_only(), py::arg("duration") = py::none(), py::arg("idle") = py::none(),
           py::arg("timeout") = py::none(), py::keep_alive<0, 1>(),
           "An iterator of (path, value) pairs as changes arrive. It ends duration seconds after "
           "it was made, or after idle seconds without a change; never when both are None. "
           "timeout is the former name of idle. Ctrl-C stops it.")
      .def("meters",
           [](Console& c, bool rta, int port, const py::bytes& bitmap, std::optional<double> duration,
              std::optional<double> idle, std::optional<double> timeout) {
             return MeterIterator(c, rta, port, bitmap, duration, idle ? idle : timeout);
           },
           py::arg("rta") = true, py::arg("port") = mixlink::kDefaultMeterPort, py::arg("bitmap") = py::bytes(),
           py::kw_only(), py::arg("duration") = py::none(), py::arg("idle") = py::none(),
           py::arg("timeout") = py::none(), py::keep_alive<0, 1>(),
           "Subscribes to meters and returns an iterator of their datagrams as bytes, renewing "
           "the subscription while it runs. rta selects the analyser block (see rta_values); "
           "bitmap adds the console's meter selection (up to 29 bytes, one per meter group row). "
           "The datagrams come to this host's UDP port. The iterator ends duration seconds after "
           "the subscription, or after idle seconds without a datagram; never when both are None. "
           "timeout is the former name of idle. Ctrl-C stops it.")
      .def("close", &Console::close, "Closes the connection; closing again does nothing.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Console& c, const py::args&) {
        c.close();
        return false;
      })
      .def("__repr__", [](const Console& c) {
        return "<mixlink.Console " + c.address() + (c.closed() ? " closed>" : ">");
      });

  m.def("connect", &connect, py::arg("address") = py::none(), py::arg("timeout") = kDefaultTimeout,
        "Connects to the console at address (A.B.C.D, A.B.C.D:PORT or a host name), or to the one "
        "discover() finds when address is None. timeout: the seconds connecting may take, and reads "
        "wait by default. Returns a Console, each on a connection of its own (several may be open; "
        "calls on different ones run at once, calls on one take turns); Error when the console "
        "cannot be reached.");
}
