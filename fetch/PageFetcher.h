// Downloads one URL into a local file with the HTTP client component.
#pragma once

#include <cstdint>
#include <string>

#include "cli/ProxySettings.h"

namespace velmora::network {

class PageFetcher {
 public:
  PageFetcher(const std::string& url, const std::string& localFile, bool acceptAnyCertificate,
              int32_t timeoutSeconds, const std::string& user, const std::string& password);
  ~PageFetcher();

  void setProxy(const ProxySettings& settings);
  // True when the body is in the local file; otherwise failureText and
  // failureCode describe the failure.
  bool fetch(bool probeFirst);

  std::string failureText() const { return failureText_; }
  int32_t failureCode() const { return failureCode_; }

 private:
  std::string url_;
  std::string localFile_;
  std::string user_;
  std::string password_;
  ProxySettings proxy_;
  bool acceptAnyCertificate_;
  int32_t timeoutSeconds_;
  std::string failureText_;
  int32_t failureCode_ = 0;
};

}  // namespace velmora::network
