// Whole transfers over a loopback connection: the socket engine's receive
// path and line buffer, the HTTP layer and the component together. A peer on
// 127.0.0.1 sends the response once in one write and once in the pieces the
// input chooses, a millisecond apart; how the bytes arrive must not matter
// (see checkSameOutcome). Redirects are not followed and no proxy is set, so
// nothing leaves the loopback address. One listener serves the whole run (one
// per input would cost more than the transfers). Options: HEAD (1),
// compression (2), line-buffer capacity (bits 3-4).
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
// header, sends the reply pieces a millisecond apart and closes.
std::mutex replyMutex;
std::vector<std::string> reply;  // of the next connection
uint16_t peerPort = 0;

void serve(int listenFd) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string request;
    char buf[4096];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                    (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
      request.append(buf, static_cast<size_t>(n));
    }
    std::unique_lock<std::mutex> lock(replyMutex);
    const std::vector<std::string> pieces = reply;
    lock.unlock();
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) ::usleep(1000);
      if (::send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL) < 0) break;
    }
    ::close(fd);
  }
}

void startPeer() {
  int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listenFd, 4) != 0 ||
      ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    tw_fuzz::fail("cannot listen on the loopback address");
  }
  peerPort = ntohs(a.sin_port);
  std::thread(serve, listenFd).detach();
}

tw_fuzz::Outcome transfer(uint8_t options, const std::vector<std::string>& pieces) {
  std::unique_lock<std::mutex> lock(replyMutex);
  reply = pieces;
  lock.unlock();
  tw_test::RecordingHttps r;
  r.SetInteger(52, 10);  // Timeout, seconds: no transfer may hang
  tw_fuzz::configure(r, options);
  const std::string url = "http://127.0.0.1:" + std::to_string(peerPort) + "/";
  return tw_fuzz::outcomeOf(r, (options & 1) ? r.Head(url.c_str()) : r.Get(url.c_str()));
}

}  // namespace

void tw_fuzz::setUp() {
  TessilonSSL_HTTPS_StaticInit(nullptr);
  startPeer();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw_fuzz::CutInput in;
  if (!in.take(data, size) || in.message.empty()) return 0;
  const tw_fuzz::Outcome whole = transfer(in.options, {in.message});
  const tw_fuzz::Outcome cut = transfer(in.options, in.pieces());
  tw_fuzz::check(whole.result != 301 && cut.result != 301,
                 "a transfer timed out: " + whole.error + " / " + cut.error);
  tw_fuzz::checkSameOutcome(whole, cut);
  return 0;
}
