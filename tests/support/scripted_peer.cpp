// Scripted loopback peers on plain POSIX sockets, one thread per peer.
#include "tests/support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tw_test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

PeerScript scriptFor(const PeerExchange& exchange) {
  PeerScript s;
  if (!exchange.request.empty()) s.push_back(PeerStep::waitFor(exchange.request));
  for (size_t i = 0; i < exchange.replyPieces.size(); ++i) {
    if (i > 0 && exchange.delayMs > 0) s.push_back(PeerStep::delay(exchange.delayMs));
    s.push_back(PeerStep::send(exchange.replyPieces[i]));
  }
  if (exchange.end == PeerExchange::End::Close) s.push_back(PeerStep::close());
  if (exchange.end == PeerExchange::End::Reset) s.push_back(PeerStep::reset());
  return s;
}

struct ScriptedPeer::State {
  std::vector<PeerScript> scripts;
  PeerOptions options;
  int listenFd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::vector<std::string> received;
  std::vector<uint64_t> sent;
  std::vector<std::string> errors;
  size_t finished = 0;  // scripts played to their end
  std::thread thread;

  void addError(const std::string& e) {
    std::lock_guard<std::mutex> lock(mu);
    errors.push_back(e);
    cv.notify_all();
  }

  // Reads what is there (waiting at most waitMs); false at the end of the
  // stream or on an error.
  bool readSome(int fd, size_t index, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, waitMs);
    if (n <= 0) return n == 0;
    char buf[65536];
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return false;
    std::lock_guard<std::mutex> lock(mu);
    received[index].append(buf, static_cast<size_t>(r));
    cv.notify_all();
    return true;
  }

  void countSent(size_t index, size_t n) {
    std::lock_guard<std::mutex> lock(mu);
    sent[index] += n;
  }

  // Sends all bytes without blocking the peer's end: waits for room in
  // steps, so that a client that stops reading cannot hold the thread.
  // False when the peer is stopping or the client ended the connection.
  bool sendPatiently(int fd, size_t index, const char* data, size_t length) {
    size_t off = 0;
    while (off < length) {
      if (stop) return false;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::send(fd, data + off, length - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return false;
      }
      off += static_cast<size_t>(n);
      countSent(index, static_cast<size_t>(n));
    }
    return true;
  }

  bool hasReceived(size_t index, const std::string& text, size_t count) {
    std::lock_guard<std::mutex> lock(mu);
    const std::string& r = received[index];
    return text.empty() ? r.size() >= count : r.find(text) != std::string::npos;
  }

  void play(int fd, size_t index) {
    const PeerScript& script = scripts[index];
    bool open = true;
    bool canRead = true;
    for (const PeerStep& step : script) {
      if (stop) break;
      switch (step.kind) {
        case PeerStep::Kind::Send: {
          size_t off = 0;
          while (off < step.bytes.size()) {
            ssize_t n = ::send(fd, step.bytes.data() + off, step.bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0) {
              if (errno == EINTR) continue;
              addError("send failed on connection " + std::to_string(index) + ": " +
                       std::strerror(errno));
              open = false;
              break;
            }
            off += static_cast<size_t>(n);
            countSent(index, static_cast<size_t>(n));
          }
          break;
        }
        case PeerStep::Kind::Generate: {
          const uint64_t limit = step.count;
          uint64_t done = 0;
          while (!stop && done < limit) {
            std::string piece = step.next(done);
            if (piece.empty()) break;
            if (piece.size() > limit - done) piece.resize(static_cast<size_t>(limit - done));
            if (!sendPatiently(fd, index, piece.data(), piece.size())) {
              open = false;
              break;
            }
            done += piece.size();
          }
          break;
        }
        case PeerStep::Kind::Delay: {
          // In slices, so that destroying the peer does not wait it out.
          const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
          while (!stop && msLeft(until) > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(msLeft(until), 20)));
          }
          break;
        }
        case PeerStep::Kind::WaitFor:
        case PeerStep::Kind::WaitForCount: {
          auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
          while (!hasReceived(index, step.bytes, step.count)) {
            if (stop || msLeft(deadline) == 0 || !canRead) {
              addError("connection " + std::to_string(index) + " did not receive " +
                       (step.bytes.empty() ? std::to_string(step.count) + " bytes"
                                           : "\"" + step.bytes + "\""));
              open = false;
              break;
            }
            canRead = readSome(fd, index, std::min(msLeft(deadline), 50));
          }
          break;
        }
        case PeerStep::Kind::ShutdownWrite:
          ::shutdown(fd, SHUT_WR);
          break;
        case PeerStep::Kind::Close:
          ::close(fd);
          fd = -1;
          break;
        case PeerStep::Kind::Reset: {
          struct linger l{1, 0};
          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
          ::close(fd);
          fd = -1;
          break;
        }
      }
      if (!open || fd < 0) break;
    }
    if (fd >= 0 && options.drainAfterScript) {
      while (!stop && readSome(fd, index, 50)) {
      }
    }
    if (fd >= 0) ::close(fd);
    std::lock_guard<std::mutex> lock(mu);
    finished++;
    cv.notify_all();
  }

  void run() {
    std::vector<std::thread> workers;
    size_t index = 0;
    while (!stop) {
      pollfd p{listenFd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      if (index >= scripts.size()) {
        ::close(fd);
        continue;
      }
      if (options.receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof(int));
      }
      if (options.sendBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options.sendBuffer, sizeof(int));
      }
      {
        std::lock_guard<std::mutex> lock(mu);
        received.emplace_back();
        sent.push_back(0);
      }
      workers.emplace_back([this, fd, index] { play(fd, index); });
      index++;
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
  int af = options.ipv6 ? AF_INET6 : AF_INET;
  int fd = ::socket(af, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("scripted peer: socket failed");
  // A small receive buffer must be set before the connection is made for the
  // window to be small from the start; accepted sockets inherit it.
  if (options.receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof(int));
  }
  sockaddr_storage ss{};
  socklen_t len;
  if (options.ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("scripted peer: cannot listen on loopback");
  }
  state_->listenFd = fd;
  state_->port = ntohs(options.ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  state_->thread = std::thread([s = state_] { s->run(); });
}

ScriptedPeer::~ScriptedPeer() {
  state_->stop = true;
  if (state_->thread.joinable()) state_->thread.join();
  ::close(state_->listenFd);
}

uint16_t ScriptedPeer::port() const { return state_->port; }

std::string ScriptedPeer::host() const { return state_->options.ipv6 ? "::1" : "127.0.0.1"; }

std::string ScriptedPeer::received(size_t connection) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return connection < state_->received.size() ? state_->received[connection] : std::string();
}

size_t ScriptedPeer::connectionCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->received.size();
}

bool ScriptedPeer::waitDone(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
    return state_->finished >= state_->scripts.size();
  });
}

bool ScriptedPeer::waitReceived(size_t connection, size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return connection < state_->received.size() && state_->received[connection].size() >= n;
  });
}

uint64_t ScriptedPeer::sent(size_t connection) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return connection < state_->sent.size() ? state_->sent[connection] : 0;
}

std::vector<std::string> ScriptedPeer::errors() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->errors;
}

uint16_t unusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);  // bound but never listening: the port is free and refuses
  return ntohs(a.sin_port);
}

}  // namespace tw_test
