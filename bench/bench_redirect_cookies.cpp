// Peak memory of one component led through a chain of redirects whose
// answers each set many new cookies, with the server in a child process so
// that only the client's memory is measured.
//
//   tw_bench_redirect_cookies [hops] [cookies_per_hop]   (defaults 20 and 900)
//
// Prints, for each Redirect event, the cookies kept and the peak resident
// memory (VmHWM) of this process so far. Received cookies stop at 1,000, so
// the figure should level off once the cap is reached.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "httpclient/HTTPS.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "httpclient/transport/ComponentIds.h"

namespace {

long peakKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Answers /r<n> with a 302 to /r<n+1> carrying `cookies` new Set-Cookie
// lines (names unique over the chain), and /r<hops> with a small page.
[[noreturn]] void serve(int listener, int hops, int cookies) {
  for (;;) {
    int c = ::accept(listener, nullptr, nullptr);
    if (c < 0) _exit(0);
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    const int hop = std::atoi(request.c_str() + request.find("/r") + 2);
    std::string reply;
    if (hop >= hops) {
      reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    } else {
      reply = "HTTP/1.1 302 Found\r\nLocation: /r" + std::to_string(hop + 1) + "\r\n";
      for (int i = 0; i < cookies; ++i) {
        reply += "Set-Cookie: c" + std::to_string(hop) + "_" + std::to_string(i) +
                 "=value; Path=/\r\n";
      }
      reply += "Content-Length: 0\r\nConnection: close\r\n\r\n";
    }
    for (size_t at = 0; at < reply.size();) {
      ssize_t n = ::write(c, reply.data() + at, reply.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ::close(c);
  }
}

class Measuring : public HTTPS {
 public:
  int FireRedirect(HTTPSRedirectEventParams* e) override {
    ++hops;
    std::printf("hop %2d  cookies %5d  peak %ld kB\n", hops,
                GetInteger(https_prop::CookieCount), peakKb());
    e->Accept = 1;
    return 0;
  }
  int hops = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int hops = argc > 1 ? std::atoi(argv[1]) : 20;
  const int cookies = argc > 2 ? std::atoi(argv[2]) : 900;

  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("listen");
    return 1;
  }
  const pid_t server = ::fork();
  if (server == 0) serve(listener, hops, cookies);
  ::close(listener);

  TessilonSSL_HTTPS_StaticInit(nullptr);
  int rc = 0;
  {
    Measuring http;
    std::printf("start          peak %ld kB\n", peakKb());
    http.SetInteger(https_prop::FollowRedirects, 1);
    http.SetInteger(https_prop::Timeout, 20);
    http.SetLong(https_prop::TransferredDataLimit, 1);
    http.Config("MaxRedirectAttempts=100");
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/r0";
    rc = http.Get(url.c_str());
    std::printf("end  %2d hops  cookies %5d  peak %ld kB  result %d\n", http.hops,
                http.GetInteger(https_prop::CookieCount), peakKb(), rc);
  }
  TessilonSSL_HTTPS_StaticDestroy();
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  return rc == 0 ? 0 : 1;
}
