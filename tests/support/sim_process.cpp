// SPDX-License-Identifier: MIT
#include "sim_process.h"

#include "link/platform.h"  // first: on Windows the socket header must come before windows.h

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace mixtest {

const char* sim_executable() { return MIXSIM_EXECUTABLE; }

namespace {

namespace detail = mixlink::detail;

bool port_accepts(int port, const std::string& address = "127.0.0.1") {
  detail::socket_t fd = detail::open_socket(true);
  if (fd == detail::kNoSocket) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  uint32_t ip = 0;
  detail::parse_ipv4(address.c_str(), &ip);
  a.sin_addr.s_addr = ip;
  const bool ok = detail::connect_within(fd, a, 1000) == 0;
  detail::drop_socket(fd);
  return ok;
}

#ifdef _WIN32
// One command-line argument quoted as the C runtime reads it back.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}
#endif

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

int run_program(const std::vector<std::string>& argv, std::string* out, std::string* err, int timeout_ms) {
  if (argv.empty()) return -1;
  static int serial = 0;
  const std::string base = testing::TempDir() + "mixtest_run_" + std::to_string(++serial);
  const std::string out_path = base + ".out", err_path = base + ".err";
  int status = -1;
#ifdef _WIN32
  std::string command;
  for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quoted(a);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_file = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err_file = CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out_file;
  si.hStdError = err_file;
  PROCESS_INFORMATION pi{};
  const BOOL started =
      CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(out_file);
  CloseHandle(err_file);
  if (!started) return -1;
  if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    status = static_cast<int>(code);
  } else {
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
#else
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  int wstatus = 0;
  bool ended = false;
  for (int waited = 0; waited < timeout_ms; waited += 5) {
    if (waitpid(pid, &wstatus, WNOHANG) == pid) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
  } else if (WIFEXITED(wstatus)) {
    status = WEXITSTATUS(wstatus);
  }
#endif
  if (out != nullptr) *out = slurp(out_path);
  if (err != nullptr) *err = slurp(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return status;
}

SimProcess::SimProcess(std::vector<std::string> args, bool quiet) {
  const char* exe = sim_executable();
  if (exe == nullptr || *exe == '\0') return;
  std::vector<std::string> argv_s = {exe, "--bind", "127.0.0.1"};
  if (quiet) argv_s.emplace_back("--quiet");
  for (auto& a : args) argv_s.push_back(a);
  // A --bind or --port among args (the last one counts) moves the simulator, and the probes with
  // it.
  std::string bind = "127.0.0.1";
  int port = 2222;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--bind") bind = args[i + 1];
    if (args[i] == "--port") port = std::atoi(args[i + 1].c_str());
  }
  // Another simulator still on the port would answer the readiness probe in place of ours.
  for (int i = 0; i < 300 && port_accepts(port, bind); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (port_accepts(port, bind)) {
    std::fprintf(stderr, "SimProcess: TCP %d on %s is taken by another process\n", port, bind.c_str());
    return;
  }
#ifdef _WIN32
  std::string command;
  for (const std::string& a : argv_s) command += (command.empty() ? "" : " ") + quoted(a);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = static_cast<int>(pi.dwProcessId);
  for (int i = 0; i < 500; ++i) {
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
      stop();
      return;
    }
    if (port_accepts(port, bind)) {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
#else
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
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
    if (port_accepts(port, bind)) {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
#endif
}

int SimProcess::stop() {
  if (pid_ <= 0) return -1;
#ifdef _WIN32
  // Windows has no SIGTERM: mixsim's stop event asks it to close its sockets and end, and only
  // one that does not within 2 s is ended from outside.
  auto* process = static_cast<HANDLE>(process_);
  DWORD code = 0;
  const std::string name = "mixsim-stop-" + std::to_string(pid_);
  if (HANDLE stop = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
    SetEvent(stop);
    CloseHandle(stop);
  }
  if (WaitForSingleObject(process, 2000) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
  }
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  process_ = nullptr;
  pid_ = -1;
  return static_cast<int>(code);
#else
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
#endif
}

SimProcess::~SimProcess() { stop(); }

}  // namespace mixtest
