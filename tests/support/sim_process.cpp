#include "sim_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace mixtest {

const char* sim_executable() { return MIXSIM_EXECUTABLE; }

namespace {

bool port_accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args, bool quiet) {
  const char* exe = sim_executable();
  if (exe == nullptr || *exe == '\0') return;
  std::vector<std::string> argv_s = {exe, "--bind", "127.0.0.1"};
  if (quiet) argv_s.emplace_back("--quiet");
  for (auto& a : args) argv_s.push_back(a);
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
  // Another simulator still on the port would answer the readiness probe in place of ours.
  for (int i = 0; i < 300 && port_accepts(2222); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (port_accepts(2222)) {
    std::fprintf(stderr, "SimProcess: TCP 2222 on 127.0.0.1 is taken by another process\n");
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    execv(exe, argv.data());
    _exit(127);
  }
  if (pid_ < 0) return;
  // The probe connection is an ordinary client to the simulator; it closes at once.
  for (int i = 0; i < 300; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    if (port_accepts(2222)) {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int SimProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

SimProcess::~SimProcess() { stop(); }

}  // namespace mixtest
