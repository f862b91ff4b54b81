// Placeholder until the page fetcher is built: every fetch fails.
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
  failureText_ = "The page fetcher is not built yet";
  failureCode_ = -1;
  return false;
}

}  // namespace velmora::network
