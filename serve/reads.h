// SPDX-License-Identifier: MIT
// The server's reads of the console, made on the thread that owns the link: a request thread
// puts its read in the queue and waits; the link's thread calls answer() between its other
// library calls. The library allows one call at a time, so no read ever runs beside them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "server.h"

namespace mixserve {

// How long a request waits for the console's answer, from its arrival to the reply.
inline constexpr std::chrono::milliseconds kReadDeadline{1000};

class ReadQueue final : public Reads {
 public:
  // Request threads: each waits at most kReadDeadline (504 after it).
  Reply value(const std::string& path) override;
  Reply dump(const std::string& path) override;

  // The link's thread: makes the reads waiting, each bounded by what is left of its deadline.
  void answer();
  // The link's thread: the console is lost; the reads waiting are answered 504 now.
  void refuse();

 private:
  enum class Kind { value, dump };
  struct Job {
    Kind kind;
    std::string path;
    std::chrono::steady_clock::time_point deadline;
    bool started = false, done = false;
    Reply reply;
  };
  Reply ask(Kind kind, const std::string& path);

  std::mutex mutex_;
  std::condition_variable done_;
  std::deque<Job*> waiting_;
};

// The reads themselves, for the link's thread: a leaf's value and a container's leaves as JSON,
// with 404 for a path the dictionary lacks, 400 for the wrong kind of node, 504 for no answer
// within timeout_us and 502 for a read that failed.
Reply readValue(const std::string& path, int timeout_us);
Reply readDump(const std::string& path, int timeout_us);

// 404 or 400 for a path that no read of kind value (true) or dump (false) can answer; 200 when
// one can. Needs no link.
Reply checkPath(const std::string& path, bool value);

}  // namespace mixserve
