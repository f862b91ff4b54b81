// Calls storeChecksum the way the check run does and prints each result.
//
//   tw_store_helper [--go FILE] [--quiet] URL CHECKSUM...
//       stores each CHECKSUM in turn for URL, after FILE exists when given
//   tw_store_helper --churn URL CHECKSUM_A CHECKSUM_B
//       stores A and B for URL by turns until killed; prints "ready" once
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "checks/ChecksumStore.h"

namespace {

bool waitFor(const std::string& path) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string go;
  bool quiet = false, churn = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--go") == 0 && i + 1 < argc) {
      go = argv[++i];
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(argv[i], "--churn") == 0) {
      churn = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() < 2 || (churn && args.size() != 3)) {
    std::fprintf(stderr, "usage: tw_store_helper [--go FILE] [--quiet] URL CHECKSUM...\n");
    return 2;
  }
  if (!go.empty() && !waitFor(go)) return 3;
  if (churn) {
    for (unsigned long i = 0;; ++i) {
      velmora::checks::storeChecksum(args[0], args[1 + i % 2].c_str(), false);
      if (i == 0) {
        std::printf("ready\n");
        std::fflush(stdout);
      }
    }
  }
  for (size_t i = 1; i < args.size(); ++i) {
    auto r = velmora::checks::storeChecksum(args[0], args[i].c_str(), !quiet);
    std::printf("result=%u\n", static_cast<unsigned>(r));
  }
  return 0;
}
