// One component fetching the same URL straight and through a tunnel,
// alternating, for the time a proxy or SOCKS server adds.
//
//   tw_bench_tunnel URL FIREWALL_TYPE FIREWALL_PORT [rounds]
//
// FIREWALL_TYPE as the component takes it (1 CONNECT, 2 SOCKS 4, 3 SOCKS 5);
// the intermediary is on 127.0.0.1. Prints the median time of each side and
// their ratio. Certificates are checked as usual (SSL_CERT_FILE).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "httpclient/HTTPS.h"
#include "httpclient/TessilonSSL_HTTPS.h"
#include "httpclient/transport/ComponentIds.h"

namespace {

double fetchMs(const std::string& url, int type, int port) {
  HTTPS http;
  http.SetLong(https_prop::TransferredDataLimit, 1);
  http.Config("SSLEnabledProtocols=0x2800");
  if (type != 0) {
    http.SetInteger(https_prop::FirewallType, type);
    http.SetText(https_prop::FirewallHost, "127.0.0.1");
    http.SetInteger(https_prop::FirewallPort, port);
  }
  const auto start = std::chrono::steady_clock::now();
  const int rc = http.Get(url.c_str());
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  if (rc != 0) {
    std::fprintf(stderr, "bench_tunnel: %d %s\n", rc, http.GetLastError());
    std::exit(1);
  }
  return took.count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tw_bench_tunnel URL FIREWALL_TYPE FIREWALL_PORT [rounds]\n");
    return 2;
  }
  const std::string url = argv[1];
  const int type = std::atoi(argv[2]);
  const int port = std::atoi(argv[3]);
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 9;
  TessilonSSL_HTTPS_StaticInit(nullptr);
  std::vector<double> direct, tunnelled;
  for (int i = 0; i < rounds; ++i) {
    // The order swaps every round, so that neither side always runs warm.
    if (i % 2 == 0) {
      direct.push_back(fetchMs(url, 0, 0));
      tunnelled.push_back(fetchMs(url, type, port));
    } else {
      tunnelled.push_back(fetchMs(url, type, port));
      direct.push_back(fetchMs(url, 0, 0));
    }
  }
  const double d = median(direct), t = median(tunnelled);
  std::printf("%d rounds: direct %.1f ms, through type %d %.1f ms, ratio %.2fx\n", rounds, d, type, t,
              t / d);
  TessilonSSL_HTTPS_StaticDestroy();
  return 0;
}
