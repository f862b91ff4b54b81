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

MeasuredRun runMeasured(const std::vector<std::string>& programArgv,
                        const std::map<std::string, std::string>& givenEnv, int timeoutSeconds) {
  // A sanitized build keeps freed blocks in a quarantine (256 MiB by
  // default), so its peak would grow with the churn of a long transfer, not
  // with what is held: measured runs use a small quarantine unless the
  // caller sets ASAN_OPTIONS itself.
  std::map<std::string, std::string> env = givenEnv;
  if (env.count("ASAN_OPTIONS") == 0) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] =
        (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string()) +
        "quarantine_size_mb=1";
  }
  // The program runs under tw_peak_rss, which forks it from a small process
  // and writes its peak to a file: forked from this test binary, the
  // program's peak would start at the test binary's own size.
  const auto tmp = env.find("TMPDIR");
  std::string report = (tmp != env.end() ? tmp->second : std::string("/tmp")) + "/peakrss-XXXXXX";
  const int reportFd = mkstemp(report.data());
  if (reportFd < 0) throw std::runtime_error("mkstemp failed for " + report);
  close(reportFd);
  std::vector<std::string> argv = {tw_test::programPath("TW_PEAK_RSS_BIN"), report};
  argv.insert(argv.end(), programArgv.begin(), programArgv.end());
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
  run.maxRssKb = std::atol(tw_test::readFile(report).c_str());
  std::remove(report.c_str());
  if (WIFEXITED(status)) {
    run.result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.result.termSignal = WTERMSIG(status);
  }
  return run;
}

}  // namespace tw_e2e
