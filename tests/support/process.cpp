#include "tests/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tw_test {

namespace {

std::vector<std::string> buildEnv(const ProcessOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    size_t eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) vars[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : vars) out.push_back(k + "=" + v);
  return out;
}

int spawn(const std::vector<std::string>& argv, const ProcessOptions& options, int& outFd,
          int& errFd) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling and nothing blocked, as
  // from a shell, whatever the test runner has set up.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings = buildEnv(options);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0].c_str(), &fa, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  outFd = outPipe[0];
  errFd = errPipe[0];
  return pid;
}

void decodeStatus(int status, ProcessResult& r) {
  if (WIFEXITED(status)) {
    r.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.exitCode = -1;
    r.termSignal = WTERMSIG(status);
  }
}

}  // namespace

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const ProcessOptions& options) {
  pid_ = spawn(argv, options, outFd_, errFd_);
  fcntl(outFd_, F_SETFL, O_NONBLOCK);
  fcntl(errFd_, F_SETFL, O_NONBLOCK);
}

BackgroundProcess::~BackgroundProcess() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

void BackgroundProcess::signal(int sig) {
  if (!done_) kill(pid_, sig);
}

void BackgroundProcess::drain(bool block, int timeoutMs) {
  struct pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  int n = poll(fds, 2, block ? timeoutMs : 0);
  if (n <= 0) return;
  char buf[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents & (POLLIN | POLLHUP)) {
      ssize_t r;
      while ((r = read(fds[i].fd, buf, sizeof buf)) > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(r));
      }
    }
  }
}

std::string BackgroundProcess::peekOut() {
  drain(false, 0);
  return out_;
}

ProcessResult BackgroundProcess::wait(int timeoutSeconds) {
  if (done_) return result_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  bool killed = false;
  for (;;) {
    drain(true, 50);
    pid_t w = waitpid(pid_, &status, WNOHANG);
    if (w == pid_) break;
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      killed = true;
    }
  }
  // Collect what is still in the pipes.
  for (int i = 0; i < 20; ++i) drain(true, 10);
  done_ = true;
  result_.out = out_;
  result_.err = err_;
  decodeStatus(status, result_);
  if (killed) result_.err += "\n[test support: killed after timeout]";
  return result_;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  BackgroundProcess p(argv, options);
  return p.wait(options.timeoutSeconds);
}

TempDir::TempDir() {
  std::string base = std::filesystem::temp_directory_path().string() + "/tw_test_XXXXXX";
  std::vector<char> buf(base.begin(), base.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(path, ec)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

std::string programPath(const char* envName) {
  const char* p = std::getenv(envName);
  if (p == nullptr || *p == '\0') {
    throw std::runtime_error(std::string("environment variable not set: ") + envName);
  }
  return p;
}

}  // namespace tw_test
