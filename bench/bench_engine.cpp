// Receiving over loopback: the socket engine with its line buffer in raw
// mode against curl, from the same local server, alternating in one run.
//
//   tw_bench_engine [megabytes] [rounds]
//
// Prints the median time of each side, their ratio and the peak memory of
// this process (engine side) and of the largest curl child.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "httpclient/transport/TlsClient.h"

using velmora::network::component::SocketEngine;
using velmora::network::component::TlsClient;

namespace {

// A loopback HTTP server: every connection gets one response of the given
// body size, sent from a fixed 1 MiB block.
class BulkServer {
 public:
  explicit BulkServer(size_t bodyBytes) : body_(bodyBytes) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd_, 4);
    socklen_t len = sizeof(a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~BulkServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  void run() {
    std::string block(1 << 20, 'b');
    while (!stop_) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char request[4096];
      ::recv(c, request, sizeof(request), 0);  // the request, if any; not parsed
      std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_) +
                         "\r\nConnection: close\r\n\r\n";
      ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
      size_t left = body_;
      while (left > 0) {
        ssize_t n = ::send(c, block.data(), std::min(left, block.size()), MSG_NOSIGNAL);
        if (n <= 0) break;
        left -= static_cast<size_t>(n);
      }
      ::close(c);
    }
  }
  size_t body_;
  int fd_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class CountingEngine : public TlsClient {
 public:
  CountingEngine() { selectTls(false); }
  uint64_t bytes = 0;
  uint64_t pieces = 0;

 protected:
  int reportDataIn(const char*, int length, bool) override {
    bytes += static_cast<uint64_t>(length);
    ++pieces;
    return 0;
  }
};

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// One transfer through the engine: connect, send a request, read raw
// blocks until the server closes.
double engineRun(uint16_t port, int32_t lineLength, uint64_t expect, uint64_t& steps) {
  CountingEngine e;
  e.setMaxLineLength(lineLength);
  e.setTimeout(0);
  auto start = std::chrono::steady_clock::now();
  e.setRemoteHost("127.0.0.1");
  e.setRemotePort(port);
  if (e.connectBlocking() != 0) {
    std::fprintf(stderr, "connect failed: %s\n", e.lastErrorText().c_str());
    std::exit(1);
  }
  e.sendOnce("GET / HTTP/1.1\r\n\r\n", 18, true);
  steps = 0;
  while (e.socketExists()) {
    ++steps;
    if (!e.waitStep()) break;
  }
  double s = secondsSince(start);
  if (e.bytes < expect) {
    std::fprintf(stderr, "engine got %llu of %llu bytes\n",
                 static_cast<unsigned long long>(e.bytes), static_cast<unsigned long long>(expect));
    std::exit(1);
  }
  return s;
}

double curlRun(uint16_t port) {
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execlp("curl", "curl", "-so", "/dev/null", url.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double s = secondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "curl failed (status %d)\n", status);
    std::exit(1);
  }
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  size_t body = mb * 1024 * 1024;
  SocketEngine::startup(nullptr);
  BulkServer server(body);
  std::vector<double> engine2k, engine64k, curl;
  uint64_t steps2k = 0, steps64k = 0;
  for (int i = 0; i < rounds; ++i) {
    engine2k.push_back(engineRun(server.port(), 2048, body, steps2k));
    curl.push_back(curlRun(server.port()));
    engine64k.push_back(engineRun(server.port(), 65536, body, steps64k));
  }
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  double c = median(curl);
  std::printf("receive %zu MiB over loopback, %d rounds, alternating\n", mb, rounds);
  std::printf("engine, raw, MaxLineLength 2048:  median %.3f s  (%.0f MiB/s)  ratio to curl %.2f"
              "  wait steps %llu\n",
              median(engine2k), mb / median(engine2k), median(engine2k) / c,
              static_cast<unsigned long long>(steps2k));
  std::printf("engine, raw, MaxLineLength 65536: median %.3f s  (%.0f MiB/s)  ratio to curl %.2f"
              "  wait steps %llu\n",
              median(engine64k), mb / median(engine64k), median(engine64k) / c,
              static_cast<unsigned long long>(steps64k));
  std::printf("curl -so /dev/null:               median %.3f s  (%.0f MiB/s)\n", c, mb / c);
  std::printf("peak memory: this process (engine and server) %ld KiB, largest curl %ld KiB\n",
              self.ru_maxrss, children.ru_maxrss);
  SocketEngine::shutdown();
  return 0;
}
