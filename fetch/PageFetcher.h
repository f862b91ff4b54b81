// PageFetcher: downloads the body of one URL into a local file with the HTTP
// client component. A header probe first lets it resume a partly present
// file with a byte range; a proxy that asks for authentication is retried
// with Basic, Digest and NTLM in turn. Every fetch has a component handle of
// its own, so no connection, cookie or credential outlives it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fetch/FetchObserver.h"
#include "fetch/ProxySettings.h"
#include "platform/files.h"

namespace velmora::network {

class HTTPSCustom;

class PageFetcher {
 public:
  // An empty localFile takes the last part of the URL's path, or
  // "httpdata.bin". Nothing is downloaded yet.
  PageFetcher(const std::string& url, const std::string& localFile, bool acceptAnyCertificate,
              int32_t timeoutSeconds, const std::string& user, const std::string& password);
  ~PageFetcher();
  PageFetcher(const PageFetcher&) = delete;
  PageFetcher& operator=(const PageFetcher&) = delete;

  // Takes over the proxy; with a proxy every server certificate is accepted.
  void setProxy(const ProxySettings& settings);
  // For diagnostic runs: Config texts given to the component right after
  // its creation (before the header probe), and an observer of its events.
  // The check run sets neither.
  void setDiagnostics(std::vector<std::string> configTexts, FetchObserver* observer) {
    diagnosticConfig_ = std::move(configTexts);
    observer_ = observer;
  }

  // True when the whole body is in the local file; otherwise failureText
  // and failureCode describe the failure. A body whose connection ended
  // before its Content-Length or last chunk arrived is a failure, and so is
  // a body that could not be written whole (a full disk).
  bool fetch(bool probeFirst);

  // The failure's text, with the control characters a server could have
  // put into it replaced.
  std::string failureText() const;
  int32_t failureCode() const { return failureCode_; }
  // The file the fetch opened and wrote (its volume and index), so that what
  // reads it next can make sure it is that same file; empty when none was
  // opened.
  const std::optional<BY_HANDLE_FILE_INFORMATION>& writtenFile() const { return writtenFile_; }

 private:
  // Sends HEAD; notes Accept-Ranges and returns the Content-Length (0 when
  // there is none or the request failed).
  int32_t probeHeaders(HTTPSCustom& http);
  // User agent, time limit, credentials and proxy of this fetch.
  void configure(HTTPSCustom& http);
  // One GET. On failure the local file is emptied, the failure recorded, and
  // retry says whether another proxy authentication scheme is worth a try.
  bool downloadOnce(HTTPSCustom& http, bool& retry);
  bool needsProxyAuthRetry() const;

  std::string url_;
  std::string localFile_;
  std::string user_;
  std::string password_;
  ProxySettings proxy_;
  bool acceptAnyCertificate_;
  int32_t timeoutSeconds_;
  bool acceptRanges_ = false;
  int32_t existingSize_ = 0;
  int32_t contentLength_ = 0;
  bool resuming_ = false;
  std::string failureText_;
  int32_t failureCode_ = 0;
  bool cutShort_ = false;  // the GET ended before the whole body came
  std::optional<BY_HANDLE_FILE_INFORMATION> writtenFile_;
  std::vector<std::string> diagnosticConfig_;
  FetchObserver* observer_ = nullptr;
};

}  // namespace velmora::network
