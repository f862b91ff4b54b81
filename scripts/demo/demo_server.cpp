// A tiny web server for the demo of scripts/run.sh: serves the files of one
// folder on 127.0.0.1, one connection at a time, with GET and HEAD only.
// It is a helper of the demo, not part of tarnwick.
//
//   demo_server DOCROOT PORTFILE   serve; the chosen port goes to PORTFILE
//   demo_server --unused-port      print a loopback port nothing listens on
//
// Every read has a time limit, requests are bounded in size, and the server
// ends by itself after ten minutes, so a demo that is killed half-way leaves
// nothing running for long.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int kReadLimitMs = 5000;
constexpr size_t kMaxRequest = 16384;
constexpr unsigned kLifetimeSeconds = 600;

int listenLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Reads until the end of the request header block; false on timeout,
// oversize or a closed connection.
bool readRequest(int fd, std::string* request) {
  char buf[4096];
  while (request->find("\r\n\r\n") == std::string::npos) {
    if (request->size() > kMaxRequest) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kReadLimitMs) <= 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    request->append(buf, static_cast<size_t>(n));
  }
  return true;
}

void sendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string response(int status, const char* reason, const std::string& body, bool withBody) {
  std::ostringstream out;
  out << "HTTP/1.1 " << status << ' ' << reason << "\r\n"
      << "Content-Type: text/html\r\n"
      << "Content-Length: " << body.size() << "\r\n"
      << "Connection: close\r\n\r\n";
  if (withBody) out << body;
  return out.str();
}

void serve(int client, const std::string& root) {
  std::string request;
  if (!readRequest(client, &request)) return;
  std::istringstream line(request.substr(0, request.find("\r\n")));
  std::string method, target;
  line >> method >> target;
  const bool head = method == "HEAD";
  if (method != "GET" && !head) {
    sendAll(client, response(405, "Method Not Allowed", "", false));
    return;
  }
  // Plain file names below the root only.
  std::string path = target.substr(0, target.find('?'));
  if (path == "/") path = "/index.html";
  if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos) {
    sendAll(client, response(400, "Bad Request", "", false));
    return;
  }
  std::ifstream file(root + path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  if (!file) {
    sendAll(client, response(404, "Not Found", "<html><body>Not found</body></html>\n", !head));
    return;
  }
  sendAll(client, response(200, "OK", content.str(), !head));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--unused-port") == 0) {
    uint16_t port = 0;
    int fd = listenLoopback(&port);
    if (fd < 0) return 1;
    close(fd);
    std::printf("%u\n", port);
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: demo_server DOCROOT PORTFILE | --unused-port\n");
    return 2;
  }
  const std::string root = argv[1];
  uint16_t port = 0;
  int listener = listenLoopback(&port);
  if (listener < 0) {
    std::perror("demo_server: listen");
    return 1;
  }
  // The port file appears complete or not at all.
  const std::string portFile = argv[2];
  {
    std::ofstream out(portFile + ".tmp");
    out << port << '\n';
  }
  if (std::rename((portFile + ".tmp").c_str(), portFile.c_str()) != 0) return 1;

  alarm(kLifetimeSeconds);
  for (;;) {
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    serve(client, root);
    close(client);
  }
}
