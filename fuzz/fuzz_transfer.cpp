// Whole transfers over a loopback connection: the socket engine's receive
// path and line buffer, the HTTP layer and the component together. A
// scripted peer on 127.0.0.1 waits for the request and sends the response,
// once in a single write and once in the pieces the input chooses with a
// millisecond between them, then closes. How the bytes arrive must not
// matter (see checkSameOutcome). No request leaves the loopback
// address: redirects are not followed and no proxy is set. The peer is one
// listener for the whole run (a listener per input would cost more than the
// transfers). Input: one byte
// of options (HEAD request, compression, line-buffer capacity), the piece
// sizes (see Pieces), the response bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/response_recorder.h"

namespace {

// The peer: one connection at a time; waits for the end of the request
// header, sends the reply pieces (a millisecond apart when there are more
// than one) and closes.
class Peer {
 public:
  Peer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      tw_fuzz::fail("cannot listen on the loopback address");
    }
    port_ = ntohs(a.sin_port);
    std::thread([this] { serve(); }).detach();
  }
  uint16_t port() const { return port_; }
  // The reply of the next connection.
  void setReply(std::vector<std::string> pieces) {
    std::lock_guard<std::mutex> lock(mu_);
    pieces_ = std::move(pieces);
  }

 private:
  void serve() {
    for (;;) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      std::vector<std::string> pieces;
      {
        std::lock_guard<std::mutex> lock(mu_);
        pieces = pieces_;
      }
      for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) ::usleep(1000);
        if (::send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL) < 0) break;
      }
      ::close(fd);
    }
  }

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::mutex mu_;
  std::vector<std::string> pieces_;
};

Peer* peer = nullptr;

tw_fuzz::Outcome transfer(uint8_t options, const std::vector<std::string>& pieces) {
  peer->setReply(pieces);
  tw_fuzz::ResponseRecorder r;
  r.SetInteger(52, 10);  // Timeout, seconds: no transfer may hang
  tw_fuzz::configure(r, options);
  const std::string url = "http://127.0.0.1:" + std::to_string(peer->port()) + "/";
  return tw_fuzz::outcomeOf(r, (options & 1) ? r.Head(url.c_str()) : r.Get(url.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tw_fuzz::useTempRoot();
  TessilonSSL_HTTPS_StaticInit(nullptr);
  peer = new Peer;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = *data++;
  --size;
  const tw_fuzz::Pieces pieces = tw_fuzz::takePieces(data, size);
  const std::string response(reinterpret_cast<const char*>(data), size);
  if (response.empty()) return 0;
  const tw_fuzz::Outcome whole = transfer(options, {response});
  const tw_fuzz::Outcome cut = transfer(options, pieces.cut(response));
  tw_fuzz::check(whole.result != 301 && cut.result != 301,
                 "a transfer timed out: " + whole.error + " / " + cut.error);
  tw_fuzz::checkSameOutcome(whole, cut);
  return 0;
}
