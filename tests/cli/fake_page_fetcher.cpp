// Test double of the page fetcher. It "downloads" the text of TW_FAKE_PAGE
// into the local file after TW_FAKE_DELAY_MS milliseconds, or fails with
// TW_FAKE_FAILURE when that is set. It marks start and end on stderr so that
// tests can time signals.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "fetch/PageFetcher.h"

namespace velmora::network {

PageFetcher::PageFetcher(const std::string& url, const std::string& localFile,
                         bool acceptAnyCertificate, int32_t timeoutSeconds,
                         const std::string& user, const std::string& password)
    : url_(url),
      localFile_(localFile),
      user_(user),
      password_(password),
      acceptAnyCertificate_(acceptAnyCertificate),
      timeoutSeconds_(timeoutSeconds) {}

PageFetcher::~PageFetcher() = default;

void PageFetcher::setProxy(const ProxySettings& settings) { proxy_ = settings; }

bool PageFetcher::fetch(bool) {
  std::fprintf(stderr, "[fake fetch started]\n");
  std::fflush(stderr);
  if (const char* delay = std::getenv("TW_FAKE_DELAY_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
  }
  if (const char* failure = std::getenv("TW_FAKE_FAILURE")) {
    failureText_ = failure;
    failureCode_ = 301;
    std::fprintf(stderr, "[fake fetch done]\n");
    return false;
  }
  const char* page = std::getenv("TW_FAKE_PAGE");
  std::ofstream out(localFile_, std::ios::binary | std::ios::trunc);
  out << (page ? page : "");
  std::fprintf(stderr, "[fake fetch done]\n");
  return static_cast<bool>(out);
}

}  // namespace velmora::network
