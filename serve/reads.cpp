// SPDX-License-Identifier: MIT
#include "reads.h"

#include <mixlink/dictionary.h>
#include <mixlink/nodes.h>
#include <mixlink/values.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "output.h"

namespace mixserve {

namespace {

using Clock = std::chrono::steady_clock;

Reply error(int status, const std::string& message) {
  return {status, "{\"error\": " + mixtool::json_string(message) + "}"};
}

// A decoded value as JSON: numbers as numbers, a node hash and a text as strings.
std::string jsonOf(int type, const w_value& v) {
  switch (type) {
    case W_VALUE_STRING: return mixtool::json_string(v.s != nullptr ? v.s : "");
    case W_VALUE_FLOAT: return mixtool::json_float(v.f);
    case W_VALUE_HASH: {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\"%08x\"", static_cast<unsigned>(v.hash));
      return hex;
    }
    default: return std::to_string(v.i);
  }
}

const char* typeOf(int type) {
  switch (type) {
    case W_VALUE_STRING: return "string";
    case W_VALUE_FLOAT: return "float";
    case W_VALUE_HASH: return "hash";
    default: return "int";
  }
}

Reply failed(const std::string& path, int r, int timeout_us) {
  if (r == 0) return error(504, "no answer from the console within " + std::to_string(timeout_us / 1000) + " ms");
  return error(502, "read of " + path + " failed (" + std::to_string(r) + ")");
}

}  // namespace

Reply checkPath(const std::string& path, bool value) {
  const uint32_t token = wGetTokenFromName(path.c_str());
  if (token == 0) return error(404, path + ": no such node");
  const bool container = wGetType(token) == W_CONTAINER;
  if (value && container) return error(400, path + " is a container (use /api/dump)");
  if (!value && !container) return error(400, path + " is a leaf (use /api/value)");
  return {200, ""};
}

Reply readValue(const std::string& path, int timeout_us) {
  if (Reply r = checkPath(path, true); r.status != 200) return r;
  const uint32_t token = wGetTokenFromName(path.c_str());
  int type = W_VALUE_INT;
  w_value v{};
  int r = 0;
  // The converting read of the leaf's kind passes over events in front of its reply.
  switch (wGetType(token)) {
    case W_FLOAT: type = W_VALUE_FLOAT; r = wGetTokenFloatTimed(token, &v.f, timeout_us); break;
    case W_STRING: {
      char text[257] = "";
      r = wGetTokenStringTimed(token, text, timeout_us);
      // An empty text is the one "no value" that is an answer.
      if (r == 0 && text[0] == '\0') r = 1;
      if (r == 1) return {200, "{\"path\": " + mixtool::json_string(path) + ", \"type\": \"string\", \"value\": " +
                                   mixtool::json_string(text) + "}"};
      break;
    }
    default: { int i = 0; r = wGetTokenIntTimed(token, &i, timeout_us); v.i = i; }; break;
  }
  if (r == -1) {
    // A node hash (a control assigned to a node) comes only through the raw read.
    r = wGetTokenTimed(token, &type, &v, timeout_us);
    if (r == 1 && type == W_VALUE_STRING) std::free(v.s);
    if (r == 1 && type != W_VALUE_HASH) r = -1;
  }
  if (r != 1) return failed(path, r, timeout_us);
  return {200, "{\"path\": " + mixtool::json_string(path) + ", \"type\": \"" + typeOf(type) + "\", \"value\": " +
                   jsonOf(type, v) + "}"};
}

Reply readDump(const std::string& path, int timeout_us) {
  if (Reply r = checkPath(path, false); r.status != 200) return r;
  const uint32_t token = wGetTokenFromName(path.c_str());
  const int leaves = wNodeLeafCount(token);
  std::vector<w_token_value> records(static_cast<size_t>(std::max(leaves, 1)));
  const int n = wGetNodeToTVArrayTimed(token, records.data(), static_cast<int>(records.size()), timeout_us);
  if (n <= 0) return failed(path, n, timeout_us);
  std::string json = "{\"path\": " + mixtool::json_string(path) + ", \"values\": {";
  for (int i = 0; i < n; ++i) {
    const w_token_value& rec = records[static_cast<size_t>(i)];
    json += i > 0 ? ", " : "";
    json += mixtool::json_string(wGetName(rec.token)) + ": " + jsonOf(rec.type, rec.value);
    if (rec.type == W_VALUE_STRING) std::free(rec.value.s);
  }
  return {200, json + "}}"};
}

Reply ReadQueue::value(const std::string& path) { return ask(Kind::value, path); }

Reply ReadQueue::dump(const std::string& path) { return ask(Kind::dump, path); }

Reply ReadQueue::ask(Kind kind, const std::string& path) {
  // What needs no console is answered here, so a wrong path never waits for the link.
  if (Reply r = checkPath(path, kind == Kind::value); r.status != 200) return r;
  Job job{kind, path, Clock::now() + kReadDeadline, false, false, {}};
  std::unique_lock lock(mutex_);
  waiting_.push_back(&job);
  // A read that has started ends by its deadline: it is waited for; one that has not is given up.
  done_.wait_until(lock, job.deadline, [&] { return job.done; });
  if (!job.started) {
    std::erase(waiting_, &job);
    return error(504, "no answer from the console within " + std::to_string(kReadDeadline.count()) + " ms");
  }
  done_.wait(lock, [&] { return job.done; });
  return job.reply;
}

void ReadQueue::answer() {
  std::unique_lock lock(mutex_);
  while (!waiting_.empty()) {
    Job* job = waiting_.front();
    waiting_.pop_front();
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(job->deadline - Clock::now()).count();
    if (left <= 0) continue;  // its request has given up
    job->started = true;
    lock.unlock();
    const int timeout_us = static_cast<int>(left);
    Reply reply = job->kind == Kind::value ? readValue(job->path, timeout_us) : readDump(job->path, timeout_us);
    lock.lock();
    job->reply = std::move(reply);
    job->done = true;
    done_.notify_all();
  }
}

void ReadQueue::refuse() {
  std::lock_guard lock(mutex_);
  for (Job* job : waiting_) {
    job->started = job->done = true;
    job->reply = error(504, "the console is lost - reconnecting");
  }
  waiting_.clear();
  done_.notify_all();
}

}  // namespace mixserve
