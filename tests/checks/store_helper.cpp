// Calls storeChecksum the way the check run does and prints each result.
//
//   tw_store_helper [--go FILE] [--quiet] URL CHECKSUM...
//       stores each CHECKSUM in turn for URL, after FILE exists when given
//   tw_store_helper --churn URL CHECKSUM_A CHECKSUM_B
//       stores A and B for URL by turns until killed; prints "ready" once
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "checks/ChecksumStore.h"

int main(int argc, char** argv) {
  std::string go;
  bool quiet = false, churn = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--go" && i + 1 < argc) {
      go = argv[++i];
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--churn") {
      churn = true;
    } else {
      args.push_back(arg);
    }
  }
  if (args.size() < 2 || (churn && args.size() != 3)) {
    std::fprintf(stderr, "usage: tw_store_helper [--go FILE] [--quiet] URL CHECKSUM...\n");
    return 2;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!go.empty() && !std::filesystem::exists(go)) {
    if (std::chrono::steady_clock::now() > end) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (unsigned long i = 0; churn; ++i) {
    velmora::checks::storeChecksum(args[0], args[1 + i % 2].c_str(), false);
    if (i == 0) {
      std::printf("ready\n");
      std::fflush(stdout);
    }
  }
  for (size_t i = 1; i < args.size(); ++i) {
    auto r = velmora::checks::storeChecksum(args[0], args[i].c_str(), !quiet);
    std::printf("result=%u\n", static_cast<unsigned>(r));
  }
  return 0;
}
