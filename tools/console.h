// SPDX-License-Identifier: MIT
// What the tool's commands share about the console and the terminal: the connection, the check
// that the console is still there, the messages for a read that failed, interruption, and
// whether standard output still reaches its reader.
#pragma once

#include <cstdint>
#include <string>

namespace mixtool {

// The connection to the console, closed when the command ends.
class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects to address, or to a console found by a broadcast when it is empty, connecting and
  // the first keep-alive's answer within timeout_us (0: the library's own bounds); false after
  // saying why on standard error.
  bool open(const std::string& address, int timeout_us = 0);

 private:
  bool open_ = false;
};

// Sends the library's diagnostics to the tool: they are kept, not printed, and the tool's own
// messages say what went wrong (every line on standard error is the tool's).
void keep_library_diagnostics();

// The last diagnostic the library gave since the last call, without its line feed ("" for none).
std::string last_diagnostic();

// Finds a console by a broadcast on the local network and writes its address into address;
// false after saying on standard error why none was found.
bool find_console(std::string* address);

// Whether the console has ended the connection (or a receive on it failed).
bool connection_closed();

// Says on standard error that the console closed the connection; returns false.
bool say_closed();

// Sends the keep-alive that is due and checks the receive side: false (said on standard error)
// once the console has gone.
bool console_alive();

// Returns the token of path, or 0 after saying on standard error that it names no node.
uint32_t token_of(const std::string& path);

// Says on standard error why a read (what: "dump", "definition") of path gave result r: 0 is no
// reply within timeout_ms; either is reported as a closed connection once the console has gone.
void read_failed(const char* what, const std::string& path, int r, long timeout_ms);

// Makes SIGINT and SIGTERM end the endless commands at their next look around, and a reader that
// goes away show as a failed write instead of ending the program.
void catch_signals();

// Returns whether SIGINT or SIGTERM came.
bool interrupted();

// Where standard output stands, from the first write that failed on.
enum class Flow {
  open,         // everything printed so far has been written
  reader_gone,  // the reader closed the pipe
  failed,       // a write failed otherwise (a full disk, an I/O error)
};

// Pushes out what was printed and returns where standard output stands; once a write has
// failed, the answer stays what it was then.
Flow output_flow();

// Returns the text of the error that made the output fail.
const char* output_error();

}  // namespace mixtool
