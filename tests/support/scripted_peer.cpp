// Scripted loopback peers on plain POSIX sockets: one thread accepts, one
// thread per connection plays its script.
#include "tests/support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tw_test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max(0, static_cast<int>(left.count()));
}

// Binds the socket to the loopback address on a port the system picks;
// returns that port, 0 on failure.
uint16_t bindLoopback(int fd, bool ipv6) {
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  sockaddr_in a4{};
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* a = ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
  socklen_t len = ipv6 ? sizeof a6 : sizeof a4;
  if (::bind(fd, a, len) != 0 || ::getsockname(fd, a, &len) != 0) return 0;
  return ntohs(ipv6 ? a6.sin6_port : a4.sin_port);
}

}  // namespace

struct ScriptedPeer::State {
  std::vector<PeerScript> scripts;
  PeerOptions options;
  int listenFd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> received;
  std::vector<uint64_t> sent;
  std::vector<std::string> errors;
  size_t finished = 0;  // scripts played to their end
  std::thread thread;

  // Reads or changes the recorded state under the lock, waking the waiters.
  template <class Access>
  auto locked(Access access) {
    std::lock_guard<std::mutex> lock(mu);
    cv.notify_all();
    return access();
  }
  template <class Done>
  bool waitFor(int timeoutMs, Done done) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }

  // Reads what is there (waiting at most waitMs); false at the end of the
  // stream or on an error.
  bool readSome(int fd, size_t index, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, waitMs);
    if (n <= 0) return n == 0;
    char buf[65536];
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r > 0) locked([&] { received[index].append(buf, static_cast<size_t>(r)); });
    return r > 0;
  }

  // Sends all bytes, waiting for room in steps so that a client that stops
  // reading cannot hold the thread. False when the peer is stopping or the
  // client ended the connection.
  bool sendAll(int fd, size_t index, const std::string& data) {
    for (size_t off = 0; off < data.size();) {
      if (stop) return false;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (n <= 0) continue;
      off += static_cast<size_t>(n);
      locked([&] { sent[index] += static_cast<uint64_t>(n); });
    }
    return true;
  }

  // Plays one step; false ends the script.
  bool playStep(int& fd, size_t index, const PeerStep& step, bool& canRead) {
    const std::string connection = "connection " + std::to_string(index);
    switch (step.kind) {
      case PeerStep::Kind::Send:
        if (sendAll(fd, index, step.bytes)) return true;
        if (!stop) locked([&] { errors.push_back("send failed on " + connection); });
        return false;
      case PeerStep::Kind::Generate:
        for (uint64_t done = 0; done < step.count;) {
          std::string piece = step.next(done);
          if (piece.empty()) break;
          piece.resize(static_cast<size_t>(std::min<uint64_t>(piece.size(), step.count - done)));
          if (!sendAll(fd, index, piece)) return false;
          done += piece.size();
        }
        return true;
      case PeerStep::Kind::Delay: {
        // In slices, so that destroying the peer does not wait it out.
        const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
        while (!stop && msLeft(until) > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(std::min(msLeft(until), 20)));
        }
        return true;
      }
      case PeerStep::Kind::WaitFor: {
        const auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
        auto arrived = [&] {
          const std::string& r = received[index];
          return step.bytes.empty() ? r.size() >= step.count : r.find(step.bytes) != r.npos;
        };
        while (!locked(arrived)) {
          if (stop || msLeft(deadline) == 0 || !canRead) {
            const std::string what = step.bytes.empty() ? std::to_string(step.count) + " bytes"
                                                        : "\"" + step.bytes + "\"";
            locked([&] { errors.push_back(connection + " did not receive " + what); });
            return false;
          }
          canRead = readSome(fd, index, std::min(msLeft(deadline), 50));
        }
        return true;
      }
      case PeerStep::Kind::Reset: {
        struct linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        break;
      }
      case PeerStep::Kind::Close: break;
    }
    ::close(fd);
    fd = -1;
    return false;
  }

  void play(int fd, size_t index) {
    bool canRead = true;
    for (const PeerStep& step : scripts[index]) {
      if (stop || !playStep(fd, index, step, canRead)) break;
    }
    if (fd >= 0) {
      while (!stop && readSome(fd, index, 50)) {
      }
      ::close(fd);
    }
    locked([&] { finished++; });
  }

  void run() {
    std::vector<std::thread> workers;
    while (!stop) {
      pollfd p{listenFd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      if (workers.size() >= scripts.size()) {
        ::close(fd);
        continue;
      }
      locked([&] {
        received.emplace_back();
        sent.push_back(0);
      });
      workers.emplace_back([this, fd, index = workers.size()] { play(fd, index); });
    }
    for (auto& w : workers) w.join();
  }
};

ScriptedPeer::ScriptedPeer(PeerScript script, PeerOptions options)
    : ScriptedPeer(std::vector<PeerScript>{std::move(script)}, options) {}

ScriptedPeer::ScriptedPeer(std::vector<PeerScript> scripts, PeerOptions options)
    : state_(std::make_shared<State>()) {
  state_->scripts = std::move(scripts);
  state_->options = options;
  int fd = ::socket(options.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("scripted peer: socket failed");
  // Set before the connection is made, so that the window is small from the
  // start; accepted sockets inherit it.
  if (options.receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof(int));
  }
  state_->port = bindLoopback(fd, options.ipv6);
  if (state_->port == 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    throw std::runtime_error("scripted peer: cannot listen on loopback");
  }
  state_->listenFd = fd;
  state_->thread = std::thread([s = state_] { s->run(); });
}

ScriptedPeer::~ScriptedPeer() {
  state_->stop = true;
  if (state_->thread.joinable()) state_->thread.join();
  ::close(state_->listenFd);
}

uint16_t ScriptedPeer::port() const { return state_->port; }

std::string ScriptedPeer::host() const { return state_->options.ipv6 ? "::1" : "127.0.0.1"; }

std::string ScriptedPeer::received(size_t i) const {
  return state_->locked([&] { return i < state_->received.size() ? state_->received[i] : ""; });
}

uint64_t ScriptedPeer::sent(size_t i) const {
  return state_->locked([&] { return i < state_->sent.size() ? state_->sent[i] : 0; });
}

size_t ScriptedPeer::connectionCount() const {
  return state_->locked([&] { return state_->received.size(); });
}

std::vector<std::string> ScriptedPeer::errors() const {
  return state_->locked([&] { return state_->errors; });
}

bool ScriptedPeer::waitDone(int timeoutMs) const {
  return state_->waitFor(timeoutMs, [&] { return state_->finished >= state_->scripts.size(); });
}

bool ScriptedPeer::waitReceived(size_t i, size_t n, int timeoutMs) const {
  return state_->waitFor(timeoutMs, [&] {
    return i < state_->received.size() && state_->received[i].size() >= n;
  });
}

uint16_t unusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const uint16_t port = bindLoopback(fd, false);
  ::close(fd);  // bound but never listening: the port is free and refuses
  return port;
}

}  // namespace tw_test
