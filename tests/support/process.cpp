#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// argv or envp for posix_spawn: pointers into the strings, ended by nullptr.
std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// What the child wrote to an output file so far.
std::string contents(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = pread(fd, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;) {
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

// The child gets /dev/null as input, anonymous files as output, the
// environment with the options' variables on top, and default signal
// handling with nothing blocked, as from a shell, whatever the test runner
// has set up.
BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const ProcessOptions& options)
    : outFd_(memfd_create("stdout", MFD_CLOEXEC)), errFd_(memfd_create("stderr", MFD_CLOEXEC)) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    if (options.env.count(kv.substr(0, kv.find('='))) == 0) env.push_back(kv);
  }
  for (const auto& [k, v] : options.env) env.push_back(k + "=" + v);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, outFd_, 1);
  posix_spawn_file_actions_adddup2(&fa, errFd_, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, &attr, pointers(argv).data(),
                             pointers(env).data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (outFd_ < 0 || errFd_ < 0 || rc != 0) {
    close(outFd_);
    close(errFd_);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(outFd_);
  close(errFd_);
}

void BackgroundProcess::signal(int sig) {
  if (!done_) kill(pid_, sig);
}

std::string BackgroundProcess::peekOut() { return contents(outFd_); }

ProcessResult BackgroundProcess::wait(int timeoutSeconds) {
  if (done_) return result_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  bool killed = false;
  while (waitpid(pid_, &status, WNOHANG) != pid_) {
    if (!killed && std::chrono::steady_clock::now() > deadline) killed = kill(pid_, SIGKILL) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done_ = true;
  result_.out = contents(outFd_);
  result_.err = contents(errFd_) + (killed ? "\n[test support: killed after timeout]" : "");
  result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result_.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result_;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  return BackgroundProcess(argv, options).wait(options.timeoutSeconds);
}

TempDir::TempDir() : path_(std::filesystem::temp_directory_path().string() + "/tw_test_XXXXXX") {
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ostringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
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
