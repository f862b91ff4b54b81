// Calls storeChecksum the way the check run does and prints each result.
//
//   tw_store_helper URL CHECKSUM...
//       stores each CHECKSUM in turn for URL, with the console lines
//   tw_store_helper --go FILE URL CHECKSUM...
//       the same without console lines, once FILE exists
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
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::string mode = !args.empty() && args[0].starts_with("--") ? args[0] : "";
  const size_t skip = mode == "--go" ? 2 : mode == "--churn" ? 1 : 0;
  if ((!mode.empty() && skip == 0) || args.size() < skip + 2 ||
      (mode == "--churn" && args.size() != 4)) {
    std::fprintf(stderr, "usage: tw_store_helper [--go FILE | --churn] URL CHECKSUM...\n");
    return 2;
  }
  const std::string go = mode == "--go" ? args[1] : "";
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(skip));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!go.empty() && !std::filesystem::exists(go)) {
    if (std::chrono::steady_clock::now() > end) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (unsigned long i = 0; mode == "--churn"; ++i) {
    velmora::checks::storeChecksum(args[0], args[1 + i % 2].c_str(), false);
    if (i == 0) {
      std::printf("ready\n");
      std::fflush(stdout);
    }
  }
  for (size_t i = 1; i < args.size(); ++i) {
    auto r = velmora::checks::storeChecksum(args[0], args[i].c_str(), go.empty());
    std::printf("result=%u\n", static_cast<unsigned>(r));
  }
  return 0;
}
