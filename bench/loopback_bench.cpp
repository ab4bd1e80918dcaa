// SPDX-License-Identifier: MIT
// Reads over loopback against mixsim started by this process, each against a plain TCP transfer of
// the same bytes between two sockets of this process.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mixlink/mixlink.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "link/wire.h"
#include "replies.h"

namespace {

// A TCP connection to the native port on loopback, or -1.
int connect_native() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(mixlink::kNativePort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

bool native_port_accepts() {
  const int fd = connect_native();
  if (fd >= 0) close(fd);
  return fd >= 0;
}

void no_delay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Starts mixsim on loopback once the native port is free (a test run may be holding it).
pid_t start_sim() {
  for (int i = 0; i < 600 && native_port_accepts(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (native_port_accepts()) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    execl(MIXSIM_EXECUTABLE, MIXSIM_EXECUTABLE, "--bind", "127.0.0.1", "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 300 && pid > 0; ++i) {
    if (native_port_accepts()) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// Bytes mixsim puts on the wire for a read of token, counted on a connection of our own until the
// stream has been quiet for 300 ms.
long wire_bytes_of_read(uint32_t token) {
  const int fd = connect_native();
  if (fd < 0) return -1;
  unsigned char req[mixlink::wire::kRequestRoom];
  const int n = wSendEscapes(req, mixlink::wire::put_request(req, wGetHash(token), mixlink::kReqValue));
  const unsigned char select[2] = {mixlink::kEscape, mixlink::kSelectFirst + mixlink::kValueChannel};
  if (send(fd, select, 2, 0) != 2 || send(fd, req, static_cast<size_t>(n), 0) != n) return -1;
  long total = 0;
  unsigned char buf[65536];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 300) > 0) {
    const ssize_t got = recv(fd, buf, sizeof buf, 0);
    if (got <= 0) break;
    total += got;
  }
  close(fd);
  return total;
}

// A peer in this process that answers each one-byte request with `bytes` bytes.
struct PlainPeer {
  int client = -1;
  int server = -1;
  std::thread thread;
  long bytes = 0;

  explicit PlainPeer(long reply_bytes) : bytes(reply_bytes) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) std::abort();
    client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    server = accept(listener, nullptr, nullptr);
    close(listener);
    no_delay(client);
    no_delay(server);
    thread = std::thread([this] {
      std::vector<unsigned char> reply(static_cast<size_t>(bytes), 0x5A);
      unsigned char req;
      while (recv(server, &req, 1, 0) == 1) {
        for (long sent = 0; sent < bytes;) {
          const ssize_t n = send(server, reply.data() + sent, static_cast<size_t>(bytes - sent), 0);
          if (n <= 0) return;
          sent += n;
        }
      }
    });
  }
  ~PlainPeer() {
    shutdown(client, SHUT_RDWR);
    thread.join();
    close(client);
    close(server);
  }
  // One request and its whole reply.
  void round_trip(unsigned char* buf, size_t size) const {
    const unsigned char req = 1;
    if (send(client, &req, 1, 0) != 1) std::abort();
    for (long got = 0; got < bytes;) {
      const ssize_t n = recv(client, buf, size, 0);
      if (n <= 0) std::abort();
      got += n;
    }
  }
};

uint32_t g_ch = 0;
uint32_t g_leaf = 0;
long g_leaf_bytes = 0;
long g_ch_bytes = 0;

void BM_GetToken(benchmark::State& state) {
  for (auto _ : state) {
    int type = 0;
    w_value v{};
    if (wGetToken(g_leaf, &type, &v) != 1) {
      state.SkipWithError("wGetToken failed");
      break;
    }
    if (type == W_VALUE_STRING) std::free(v.s);
  }
}

void BM_PlainRoundTripOfOneValue(benchmark::State& state) {
  PlainPeer peer(g_leaf_bytes);
  unsigned char buf[4096];
  for (auto _ : state) peer.round_trip(buf, sizeof buf);
}

void BM_GetNodeCh(benchmark::State& state) {
  std::vector<char> text(4 << 20);
  for (auto _ : state) {
    if (wGetNode(g_ch, text.data(), text.size()) != 1) {
      state.SkipWithError("wGetNode failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * g_ch_bytes);
}

void BM_GetNodeToTVArrayCh(benchmark::State& state) {
  std::vector<w_token_value> records(static_cast<size_t>(wNodeLeafCount(g_ch)));
  for (auto _ : state) {
    const int n = wGetNodeToTVArray(g_ch, records.data(), static_cast<int>(records.size()));
    if (n <= 0) {
      state.SkipWithError("wGetNodeToTVArray failed");
      break;
    }
    for (int i = 0; i < n; ++i)
      if (records[static_cast<size_t>(i)].type == W_VALUE_STRING) std::free(records[static_cast<size_t>(i)].value.s);
  }
  state.SetBytesProcessed(state.iterations() * g_ch_bytes);
}

// The "ch" dump as the reads gathered it before the receive stream, on a connection of its own:
// each block received straight into one kept buffer and decoded on its own (an escape cut by the
// block end waited for), the entries counted block by block, then the same dump walk. The
// yardstick for what the stream costs.
class OldPath {
 public:
  OldPath() : fd_(connect_native()) {
    no_delay(fd_);
    const unsigned char select[2] = {mixlink::kEscape, mixlink::kSelectFirst + mixlink::kValueChannel};
    if (send(fd_, select, 2, 0) != 2) std::abort();
  }
  ~OldPath() { close(fd_); }

  bool dump(uint32_t token, char* text, size_t capacity) {
    unsigned char req[mixlink::wire::kRequestRoom];
    const int n = wSendEscapes(req, mixlink::wire::put_request(req, wGetHash(token), mixlink::kReqValue));
    if (send(fd_, req, static_cast<size_t>(n), 0) != n) return false;
    const int leaves = wNodeLeafCount(token);
    int used = 0, end = 0, count = 0;
    for (int block = 0; count < leaves; ++block) {
      const size_t want = static_cast<size_t>(used) + static_cast<size_t>(leaves - count) * 10 + 256 + 64 * 1024;
      if (buf_.size() < want) buf_.resize(want);
      const int got = receive(buf_.data() + used, static_cast<int>(buf_.size()) - used, block == 0 ? -1 : 1000);
      if (got <= 0) return false;
      used += got;
      int e = 0;
      const int c = wCountReplyEntries(buf_.data() + end, used - end, leaves - count, &e);
      if (c < 0) return false;
      count += c;
      end += e;
    }
    if (used == end) receive(buf_.data() + used, static_cast<int>(buf_.size()) - used, 1000);
    w_dump d;
    return wDumpStart(&d, wGetName(token), text, capacity) == 1 && wReplyToDump(buf_.data(), end, &d) == leaves &&
           wDumpFinish(&d) == 1;
  }

 private:
  static bool more_waiting(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
  }
  // One block as the old receive read it: all the room asked for, read on while the block ends
  // inside an escape (the room is never filled here), then decoded on its own.
  int receive(unsigned char* buf, int room, int wait_ms) {
    if (wait_ms >= 0 && !more_waiting(fd_, wait_ms)) return 0;
    int total = 0;
    for (;;) {
      const int n = static_cast<int>(recv(fd_, buf + total, static_cast<size_t>(room - total), 0));
      if (n <= 0) return total > 0 ? total : n;
      total += n;
      if (total < room && buf[total - 1] == mixlink::kEscape && more_waiting(fd_, 1000)) continue;
      break;
    }
    return wDecodeEscapes(buf, total, &channel_);
  }

  int fd_;
  int channel_ = 1;
  std::vector<unsigned char> buf_;
};

void BM_GetNodeChOldPath(benchmark::State& state) {
  OldPath old;
  std::vector<char> text(4 << 20);
  for (auto _ : state) {
    if (!old.dump(g_ch, text.data(), text.size())) {
      state.SkipWithError("the old path failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * g_ch_bytes);
}

void BM_PlainTransferOfChBytes(benchmark::State& state) {
  PlainPeer peer(g_ch_bytes);
  std::vector<unsigned char> buf(1 << 20);
  for (auto _ : state) peer.round_trip(buf.data(), buf.size());
  state.SetBytesProcessed(state.iterations() * g_ch_bytes);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  const pid_t sim = start_sim();
  if (sim <= 0) {
    std::fprintf(stderr, "bench_loopback: mixsim did not start on 127.0.0.1:%d\n", mixlink::kNativePort);
    return 1;
  }
  g_ch = mixbench::token_of("ch");
  g_leaf = mixbench::token_of("ch.1.fdr");
  g_leaf_bytes = wire_bytes_of_read(g_leaf);
  g_ch_bytes = wire_bytes_of_read(g_ch);
  char address[64] = "127.0.0.1";
  int status = 1;
  if (g_ch_bytes > 0 && wOpen(address) == 1) {
    benchmark::AddCustomContext("ch_wire_bytes", std::to_string(g_ch_bytes));
    benchmark::AddCustomContext("leaf_wire_bytes", std::to_string(g_leaf_bytes));
    benchmark::RegisterBenchmark("BM_GetToken", BM_GetToken);
    benchmark::RegisterBenchmark("BM_PlainRoundTripOfOneValue", BM_PlainRoundTripOfOneValue);
    benchmark::RegisterBenchmark("BM_GetNodeCh", BM_GetNodeCh)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_GetNodeChOldPath", BM_GetNodeChOldPath)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_GetNodeToTVArrayCh", BM_GetNodeToTVArrayCh)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_PlainTransferOfChBytes", BM_PlainTransferOfChBytes)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    wClose();
    status = 0;
  } else {
    std::fprintf(stderr, "bench_loopback: could not read from mixsim\n");
  }
  benchmark::Shutdown();
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  return status;
}
