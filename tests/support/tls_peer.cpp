// Scripted TLS server: one thread plays the scripts in the order the
// connections come; OpenSSL reads and writes memory BIOs only.
#include "tests/support/tls_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tw_test {

namespace {

using Clock = std::chrono::steady_clock;
using Alerts = std::vector<std::pair<int, int>>;

std::string drain(BIO* bio) {
  std::string bytes(BIO_ctrl_pending(bio), '\0');
  if (!bytes.empty()) BIO_read(bio, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

// Size of the TLS record at the start of `b`, 0 while it is incomplete.
size_t firstRecord(const std::string& b) {
  if (b.size() < 5) return 0;
  size_t size = 5 + ((size_t{static_cast<uint8_t>(b[3])} << 8) | static_cast<uint8_t>(b[4]));
  return size <= b.size() ? size : 0;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Connection {
  int fd;
  const std::atomic<bool>& stop;
  SSL* ssl = nullptr;
  BIO* in = nullptr;
  BIO* out = nullptr;
  std::string unread;      // received, not yet given to OpenSSL
  bool holdInput = false;  // a refused renegotiation's alert waits for the end
  std::string held;        // output that goes out with the next write
  TlsReceived got;

  Connection(int socket, const std::atomic<bool>& stopping) : fd(socket), stop(stopping) {}
  ~Connection() {
    SSL_free(ssl);
    ::close(fd);
  }
  void fail(const std::string& what) { got.errors.push_back(what); }

  // Waits (at most waitMs) for bytes from the client; false at its end.
  bool receive(int waitMs = 10000) {
    for (auto until = Clock::now() + std::chrono::milliseconds(waitMs); Clock::now() < until;) {
      if (stop) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[16384];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      got.raw.append(buf, static_cast<size_t>(n));
      unread.append(buf, static_cast<size_t>(n));
      return true;
    }
    return false;
  }
  void send(std::string bytes) {
    bytes.insert(0, std::exchange(held, std::string()));
    for (size_t off = 0; off < bytes.size();) {
      ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return fail("send failed");
      off += static_cast<size_t>(n);
    }
  }
  // Handshake output in pieces, with a pause after each so that the client
  // reads them one by one.
  void sendSplit(const std::string& bytes, int split) {
    for (size_t pos = 0, n; pos < bytes.size(); pos += n, pause(split > 0 ? 1 : 10)) {
      n = split == TlsStep::kFlights   ? bytes.size()
          : split == TlsStep::kRecords ? firstRecord(bytes.substr(pos))
                                       : static_cast<size_t>(split);
      send(bytes.substr(pos, n));
    }
  }
  void feed() {
    if (holdInput || unread.empty()) return;
    BIO_write(in, unread.data(), static_cast<int>(unread.size()));
    unread.clear();
  }
  // OpenSSL reads what came in; its answers go out (are held, with holdLast,
  // once a renegotiation is complete). True when it waits for more bytes.
  bool pump(bool holdLast = false) {
    feed();
    char buf[16384];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) got.plain.append(buf, static_cast<size_t>(n));
    const int err = SSL_get_error(ssl, n);
    if (holdLast && SSL_renegotiate_pending(ssl) == 0) {
      held += drain(out);
    } else {
      send(drain(out));
    }
    return err == SSL_ERROR_WANT_READ;
  }
  void handshake(int split) {
    for (;;) {
      feed();
      const int r = SSL_do_handshake(ssl);
      sendSplit(drain(out), split);
      if (r == 1) return;
      if (SSL_get_error(ssl, r) != SSL_ERROR_WANT_READ) return fail("handshake failed");
      if (!receive()) return fail("client gone during the handshake");
    }
  }
  void read(const std::string& text) {
    while (pump() && got.plain.find(text) == std::string::npos) {
      if (!receive()) return fail("no " + text);
    }
    if (got.plain.find(text) == std::string::npos) fail("read failed");
  }
  void renegotiate(bool holdLast) {
    SSL_renegotiate(ssl);
    SSL_do_handshake(ssl);
    send(drain(out));
    while (firstRecord(unread) == 0) {
      if (!receive()) return fail("no answer to the HelloRequest");
    }
    got.renegotiation.push_back(unread[0] == 22 ? "ClientHello" : "alert");
    // OpenSSL ends a connection whose renegotiation is refused: the alert is
    // read when the script is over.
    holdInput = unread[0] != 22;
    while (!holdInput && SSL_renegotiate_pending(ssl) == 1) {
      if (!pump(holdLast) || (SSL_renegotiate_pending(ssl) == 1 && !receive())) {
        return fail("renegotiation did not complete");
      }
    }
  }

  void play(const std::vector<TlsStep>& steps) {
    for (size_t i = 0; i < steps.size() && !stop && got.errors.empty(); ++i) {
      const TlsStep& s = steps[i];
      switch (s.kind) {
        case TlsStep::Kind::Handshake: handshake(s.n); break;
        case TlsStep::Kind::Read: read(s.bytes); break;
        case TlsStep::Kind::Write:
          SSL_write(ssl, s.bytes.data(), static_cast<int>(s.bytes.size()));
          send(drain(out));
          break;
        case TlsStep::Kind::Renegotiate: renegotiate(s.holdLast); break;
        case TlsStep::Kind::CloseNotify:
          SSL_shutdown(ssl);
          send(drain(out) + s.bytes);
          break;
        case TlsStep::Kind::RawRead:
          while (got.raw.size() < static_cast<size_t>(s.n) && receive()) {
          }
          break;
        case TlsStep::Kind::RawSend: send(s.bytes); break;
        case TlsStep::Kind::Close: ::shutdown(fd, SHUT_WR); break;
      }
    }
    while (receive(3000)) {
    }
    holdInput = false;
    if (ssl != nullptr) pump();
  }
};

}  // namespace

struct TlsPeer::State {
  std::string certDir;
  std::vector<TlsScript> scripts;
  int listenFd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::vector<TlsReceived> received;
  std::thread thread;

  SSL* server(const TlsScript& s, Connection& c) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx, s.version);
    SSL_CTX_set_max_proto_version(ctx, s.version);
    SSL_CTX_set_cipher_list(ctx, "ECDHE-ECDSA-AES128-GCM-SHA256");
    // No resumption: a renegotiation is a full handshake.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_use_certificate_chain_file(ctx, (certDir + "/" + s.cert + "-chain.pem").c_str());
    SSL_CTX_use_PrivateKey_file(ctx, (certDir + "/" + s.cert + ".key").c_str(), SSL_FILETYPE_PEM);
    if (s.askClientCert) {
      SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    }
    SSL* ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);
    c.in = BIO_new(BIO_s_mem());
    c.out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(c.in, -1);
    SSL_set_bio(ssl, c.in, c.out);
    SSL_set_accept_state(ssl);
    SSL_set_msg_callback_arg(ssl, &c.got.alerts);
    SSL_set_msg_callback(
        ssl, [](int write, int, int type, const void* buf, size_t len, SSL*, void* alerts) {
          const auto* b = static_cast<const uint8_t*>(buf);
          if (!write && type == SSL3_RT_ALERT && len == 2) {
            static_cast<Alerts*>(alerts)->push_back({b[0], b[1]});
          }
        });
    return ssl;
  }

  void run() {
    for (const TlsScript& script : scripts) {
      int fd = -1;
      for (pollfd p{listenFd, POLLIN, 0}; !stop && fd < 0;) {
        if (::poll(&p, 1, 20) > 0) fd = ::accept(listenFd, nullptr, nullptr);
      }
      if (fd < 0) return;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Connection c(fd, stop);
      if (script.version != 0) c.ssl = server(script, c);
      c.play(script.steps);
      std::lock_guard<std::mutex> lock(mu);
      received.push_back(std::move(c.got));
      cv.notify_all();
    }
  }
};

TlsPeer::TlsPeer(std::string certDir, std::vector<TlsScript> scripts)
    : state_(std::make_shared<State>()) {
  state_->certDir = std::move(certDir);
  state_->scripts = std::move(scripts);
  state_->listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  ::bind(state_->listenFd, reinterpret_cast<sockaddr*>(&a), size);
  ::listen(state_->listenFd, 4);
  ::getsockname(state_->listenFd, reinterpret_cast<sockaddr*>(&a), &size);
  state_->port = ntohs(a.sin_port);
  state_->thread = std::thread([s = state_] { s->run(); });
}

TlsPeer::~TlsPeer() {
  state_->stop = true;
  state_->thread.join();
  ::close(state_->listenFd);
}

uint16_t TlsPeer::port() const { return state_->port; }

bool TlsPeer::waitDone(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return state_->received.size() == state_->scripts.size(); });
}

TlsReceived TlsPeer::received(size_t connection) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return connection < state_->received.size() ? state_->received[connection] : TlsReceived{};
}

}  // namespace tw_test
