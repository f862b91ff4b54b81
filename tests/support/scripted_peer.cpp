// Scripted loopback peers on plain POSIX sockets: one thread accepts, one
// thread per connection plays its script; a TLS connection's OpenSSL object
// reads and writes memory BIOs only.
#include "tests/support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
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

// Size of the TLS record at the start of `b`, 0 while it is incomplete.
size_t firstRecord(const std::string& b) {
  if (b.size() < 5) return 0;
  size_t size = 5 + ((size_t{static_cast<uint8_t>(b[3])} << 8) | static_cast<uint8_t>(b[4]));
  return size <= b.size() ? size : 0;
}

// The TLS server of one connection.
struct Tls : MemoryTls {
  using MemoryTls::MemoryTls;
  size_t fed = 0;          // received bytes given to OpenSSL
  bool holdInput = false;  // a refused renegotiation's alert waits for the end
  std::string held;        // output that goes out with the next write
  TlsReceived got;
};

}  // namespace

MemoryTls::MemoryTls(const TlsServer& s) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_min_proto_version(ctx, s.version);
  SSL_CTX_set_max_proto_version(ctx, s.maxVersion != 0 ? s.maxVersion : s.version);
  if (s.oneSuite) {
    SSL_CTX_set_cipher_list(ctx, "ECDHE-ECDSA-AES128-GCM-SHA256");
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
  }
  SSL_CTX_use_certificate_chain_file(ctx, (s.certDir + "/" + s.cert + "-chain.pem").c_str());
  SSL_CTX_use_PrivateKey_file(ctx, (s.certDir + "/" + s.cert + ".key").c_str(), SSL_FILETYPE_PEM);
  if (s.askClientCert) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  }
  ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  BIO_set_mem_eof_return(in_, -1);
  SSL_set_bio(ssl, in_, out_);
  SSL_set_accept_state(ssl);
  SSL_set_msg_callback_arg(ssl, &alerts);
  SSL_set_msg_callback(
      ssl, [](int write, int, int type, const void* buf, size_t len, SSL*, void* alerts) {
        const auto* b = static_cast<const unsigned char*>(buf);
        if (!write && type == SSL3_RT_ALERT && len == 2) {
          static_cast<std::vector<std::pair<int, int>>*>(alerts)->push_back({b[0], b[1]});
        }
      });
}

MemoryTls::~MemoryTls() { SSL_free(ssl); }

void MemoryTls::put(const std::string& fromClient) {
  BIO_write(in_, fromClient.data(), static_cast<int>(fromClient.size()));
}

std::string MemoryTls::read(const std::string& fromClient) {
  put(fromClient);
  std::string plain;
  char buf[16384];
  int n;
  while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) plain.append(buf, static_cast<size_t>(n));
  lastError = SSL_get_error(ssl, n);
  return plain;
}

std::string MemoryTls::write(const std::string& plain) {
  SSL_write(ssl, plain.data(), static_cast<int>(plain.size()));
  return take();
}

std::string MemoryTls::take() {
  std::string bytes(BIO_ctrl_pending(out_), '\0');
  if (!bytes.empty()) BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

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
  std::vector<TlsReceived> tls;
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

  // Reads what is there (waiting at most waitMs): the byte count, 0 when
  // nothing came, -1 at the end of the stream or on an error.
  ssize_t readSome(int fd, size_t index, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, waitMs);
    if (n <= 0) return n == 0 ? 0 : -1;
    char buf[65536];
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r > 0) locked([&] { received[index].append(buf, static_cast<size_t>(r)); });
    return r > 0 ? r : -1;
  }
  // Waits (at most 10 s) for more bytes; false at the end of the stream.
  bool receive(int fd, size_t index) {
    for (auto until = Clock::now() + std::chrono::seconds(10); !stop && msLeft(until) > 0;) {
      const ssize_t n = readSome(fd, index, 50);
      if (n != 0) return n > 0;
    }
    return false;
  }
  // A step that could not complete ends the script; the reason goes to
  // standard error, for the log of a failing test.
  static bool fail(size_t index, const std::string& what) {
    std::fprintf(stderr, "scripted peer, connection %zu: %s\n", index, what.c_str());
    return false;
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

  // --- TLS: OpenSSL gets what came in, its output goes out as the steps say.
  std::string unread(size_t index, const Tls& t) {
    return locked([&] { return received[index].substr(t.fed); });
  }
  // Hands OpenSSL what came in since (unless held).
  void feed(size_t index, Tls& t) {
    if (t.holdInput) return;
    const std::string fresh = unread(index, t);
    t.fed += fresh.size();
    t.put(fresh);
  }
  bool sendTls(int fd, size_t index, Tls& t, std::string bytes) {
    bytes.insert(0, std::exchange(t.held, std::string()));
    return sendAll(fd, index, bytes) || fail(index, "send failed");
  }
  // OpenSSL reads what came in; its answers go out (are held, with holdLast,
  // once a renegotiation is complete). True when it waits for more bytes.
  bool pump(int fd, size_t index, Tls& t, bool holdLast = false) {
    feed(index, t);
    t.got.plain += t.read();
    if (holdLast && SSL_renegotiate_pending(t.ssl) == 0) {
      t.held += t.take();
    } else {
      sendTls(fd, index, t, t.take());
    }
    return t.lastError == SSL_ERROR_WANT_READ;
  }
  bool handshake(int fd, size_t index, Tls& t, int split) {
    for (;;) {
      feed(index, t);
      const int r = SSL_do_handshake(t.ssl);
      // In pieces, with a pause after each so that the client reads them one by one.
      const std::string bytes = t.take();
      for (size_t pos = 0, n; pos < bytes.size(); pos += n) {
        n = split == PeerStep::kFlights   ? bytes.size()
            : split == PeerStep::kRecords ? firstRecord(bytes.substr(pos))
                                          : static_cast<size_t>(split);
        if (!sendTls(fd, index, t, bytes.substr(pos, n))) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(split > 0 ? 1 : 10));
      }
      if (r == 1) return true;
      if (SSL_get_error(t.ssl, r) != SSL_ERROR_WANT_READ) return fail(index, "handshake failed");
      if (!receive(fd, index)) return fail(index, "client gone during the handshake");
    }
  }
  bool tlsRead(int fd, size_t index, Tls& t, const std::string& text) {
    auto has = [&] { return t.got.plain.find(text) != std::string::npos; };
    while (pump(fd, index, t) && !has()) {
      if (!receive(fd, index)) return fail(index, "no " + text);
    }
    return has() || fail(index, "read failed");
  }
  bool renegotiate(int fd, size_t index, Tls& t, bool holdLast) {
    SSL_renegotiate(t.ssl);
    SSL_do_handshake(t.ssl);
    if (!sendTls(fd, index, t, t.take())) return false;
    while (firstRecord(unread(index, t)) == 0) {
      if (!receive(fd, index)) return fail(index, "no answer to the HelloRequest");
    }
    const bool hello = unread(index, t)[0] == 22;
    t.got.renegotiation.push_back(hello ? "ClientHello" : "alert");
    // OpenSSL ends a connection whose renegotiation is refused: the alert is
    // read when the script is over.
    t.holdInput = !hello;
    while (hello && SSL_renegotiate_pending(t.ssl) == 1) {
      if (!pump(fd, index, t, holdLast) ||
          (SSL_renegotiate_pending(t.ssl) == 1 && !receive(fd, index))) {
        return fail(index, "renegotiation did not complete");
      }
    }
    return true;
  }

  // Plays one step; false ends the script.
  bool playStep(int& fd, size_t index, const PeerStep& step, bool& canRead, Tls* tls) {
    if (step.kind >= PeerStep::Kind::Handshake && tls == nullptr) {
      return fail(index, "a TLS step without the tls option");
    }
    switch (step.kind) {
      case PeerStep::Kind::Handshake: return handshake(fd, index, *tls, step.split);
      case PeerStep::Kind::TlsRead: return tlsRead(fd, index, *tls, step.bytes);
      case PeerStep::Kind::TlsWrite: return sendTls(fd, index, *tls, tls->write(step.bytes));
      case PeerStep::Kind::Renegotiate: return renegotiate(fd, index, *tls, step.holdLast);
      case PeerStep::Kind::CloseNotify:
        SSL_shutdown(tls->ssl);
        return sendTls(fd, index, *tls, tls->take() + step.bytes);
      case PeerStep::Kind::Shutdown: return ::shutdown(fd, SHUT_WR) == 0;
      case PeerStep::Kind::Send:
        return sendAll(fd, index, step.bytes) || (!stop && fail(index, "send failed"));
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
            return fail(index, "did not receive " + (step.bytes.empty()
                                                         ? std::to_string(step.count) + " bytes"
                                                         : "\"" + step.bytes + "\""));
          }
          canRead = readSome(fd, index, std::min(msLeft(deadline), 50)) >= 0;
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
    std::unique_ptr<Tls> tls;
    if (options.tls) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      tls = std::make_unique<Tls>(*options.tls);
    }
    bool canRead = true;
    for (const PeerStep& step : scripts[index]) {
      if (stop || !playStep(fd, index, step, canRead, tls.get())) break;
    }
    if (fd >= 0) {
      while (!stop && readSome(fd, index, 50) >= 0) {
      }
      if (tls) {  // the client's last records, its alerts among them
        tls->holdInput = false;
        pump(fd, index, *tls);
      }
      ::close(fd);
    }
    locked([&] {
      if (tls) {
        this->tls[index] = std::move(tls->got);
        this->tls[index].alerts = tls->alerts;
      }
      finished++;
    });
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
        tls.emplace_back();
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
  // Wakes the accept loop's poll at once rather than at its next turn.
  ::shutdown(state_->listenFd, SHUT_RDWR);
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

TlsReceived ScriptedPeer::tls(size_t i) const {
  return state_->locked([&] { return i < state_->tls.size() ? state_->tls[i] : TlsReceived{}; });
}

size_t ScriptedPeer::connectionCount() const {
  return state_->locked([&] { return state_->received.size(); });
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
