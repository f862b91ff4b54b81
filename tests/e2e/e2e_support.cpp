#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace tw_e2e {

std::map<std::string, std::string> readPeersEnv() {
  std::map<std::string, std::string> vars;
  const char* path = std::getenv("TW_PEERS_ENV");
  if (path == nullptr) return vars;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return vars;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("EVP_Digest failed");
  }
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

MeasuredRun runMeasured(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env, int timeoutSeconds) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    dup2(out[1], 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  MeasuredRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  char buf[65536];
  for (;;) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      run.result.out.append(buf, static_cast<size_t>(n));
      if (run.result.out.size() > 65536) run.result.out.erase(0, run.result.out.size() - 65536);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.maxRssKb = usage.ru_maxrss;
  if (WIFEXITED(status)) {
    run.result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.result.termSignal = WTERMSIG(status);
  }
  return run;
}

}  // namespace tw_e2e
