// Test double of the page fetcher, linked in place of the real one: "fetches"
// by copying the file named by TW_FAKE_PAGE_FILE into the local file, or fails
// with TW_FAKE_FETCH_ERROR and TW_FAKE_FETCH_CODE when those are set.
#include <cstdlib>
#include <fstream>
#include <sstream>

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
  if (const char* error = std::getenv("TW_FAKE_FETCH_ERROR")) {
    failureText_ = error;
    const char* code = std::getenv("TW_FAKE_FETCH_CODE");
    failureCode_ = code ? std::atoi(code) : 0;
    return false;
  }
  const char* page = std::getenv("TW_FAKE_PAGE_FILE");
  std::ifstream in(page ? page : "", std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  std::ofstream out(localFile_, std::ios::binary | std::ios::trunc);
  out << content.str();
  if (!in || !out) {
    failureText_ = "The fake page could not be copied";
    failureCode_ = 2;
    return false;
  }
  return true;
}

}  // namespace velmora::network
