// Calls storeChecksum the way the check run does and prints each result.
//
//   tw_store_helper URL CHECKSUM...
//       stores each CHECKSUM in turn for URL, with the console lines
//   tw_store_helper --churn URL CHECKSUM_A CHECKSUM_B
//       stores A and B for URL by turns until killed; prints "ready" once
#include <cstdio>
#include <string>
#include <vector>

#include "checks/ChecksumStore.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool churn = !args.empty() && args[0] == "--churn";
  if (churn) args.erase(args.begin());
  if (args.size() < 2 || (churn && args.size() != 3) || args[0].starts_with("--")) {
    std::fprintf(stderr, "usage: tw_store_helper [--churn] URL CHECKSUM...\n");
    return 2;
  }
  for (unsigned long i = 0; churn; ++i) {
    velmora::checks::storeChecksum(args[0], args[1 + i % 2].c_str(), false);
    if (i == 0) {
      std::printf("ready\n");
      std::fflush(stdout);
    }
  }
  for (size_t i = 1; i < args.size(); ++i) {
    auto r = velmora::checks::storeChecksum(args[0], args[i].c_str(), true);
    std::printf("result=%u\n", static_cast<unsigned>(r));
  }
  return 0;
}
