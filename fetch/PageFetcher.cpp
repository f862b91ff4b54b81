#include "fetch/PageFetcher.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>

#include "fetch/HTTPSCustom.h"
#include "fetch/SafeText.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "winsupport/SystemErrorText.h"

namespace velmora::network {

namespace {

// The User-Agent this program sends.
const char kUserAgent[] = "Tarnwick/2.1";

// File used when neither a file name nor a name in the URL is given.
const char kDefaultLocalFile[] = "httpdata.bin";

// The component's code and our text for a page whose connection closed
// before the body's own framing ended it.
constexpr int32_t kErrProtocol = 151;
const char kTextCutShort[] =
    "HTTP protocol error. The connection closed before the whole page arrived.";

// Size of an existing file, 0 when it does not exist; bounded to the 32-bit
// field that holds it.
int32_t existingFileSize(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return 0;
  return static_cast<int32_t>(
      std::min<std::uintmax_t>(size, std::numeric_limits<int32_t>::max()));
}

}  // namespace

PageFetcher::PageFetcher(const std::string& url, const std::string& localFile,
                         bool acceptAnyCertificate, int32_t timeoutSeconds,
                         const std::string& user, const std::string& password)
    : url_(url),
      localFile_(localFile),
      user_(user),
      password_(password),
      acceptAnyCertificate_(acceptAnyCertificate),
      timeoutSeconds_(timeoutSeconds) {
  TessilonSSL_HTTPS_StaticInit(nullptr);
  if (localFile_.empty()) {
    const size_t slash = url_.rfind('/');
    localFile_ = slash == std::string::npos ? url_ : url_.substr(slash + 1);
    if (localFile_.empty()) localFile_ = kDefaultLocalFile;
  }
  existingSize_ = existingFileSize(localFile_);
}

PageFetcher::~PageFetcher() { TessilonSSL_HTTPS_StaticDestroy(); }

void PageFetcher::setProxy(const ProxySettings& settings) {
  proxy_ = settings;
  // Through a proxy every server certificate is accepted, as with /ignorecert.
  if (proxy_.isSet()) acceptAnyCertificate_ = true;
}

std::string PageFetcher::failureText() const { return safeNetworkText(failureText_); }

bool PageFetcher::fetch(bool probeFirst) {
  HTTPSCustom http(acceptAnyCertificate_);
  for (const std::string& text : diagnosticConfig_) http.Config(text);
  http.observer = observer_;
  // A server that stalls the header probe is bounded by the user's limit
  // too; without one the probe keeps the component's own.
  if (timeoutSeconds_ > 0) http.SetInteger(https_prop::Timeout, timeoutSeconds_);

  if (probeFirst) {
    contentLength_ = probeHeaders(http);
    if (contentLength_ > 0 && acceptRanges_ && existingSize_ > 0 &&
        existingSize_ <= contentLength_) {
      if (existingSize_ == contentLength_) return true;  // already complete
      http.SetText(https_prop::Range, (std::to_string(existingSize_) + "-").c_str());
      resuming_ = true;
    }
  }
  if (!resuming_) DeleteFileA(localFile_.c_str());

  HANDLE file = CreateFileA(localFile_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION written;
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &written)) {
    failureText_ = windows_specific::systemErrorText(GetLastError());
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return false;
  }
  writtenFile_ = written;
  if (resuming_) SetFilePointer(file, 0, nullptr, FILE_END);
  http.fileHandle = file;

  configure(http);

  bool retry = true;
  bool ok = false;
  while (!ok && retry) ok = downloadOnce(http, retry);

  http.flushFile();
  http.fileHandle = INVALID_HANDLE_VALUE;
  CloseHandle(file);
  // An Error event's text describes the failure better than the last error,
  // except for a cut page or a failed write, which raised no Error of their
  // own.
  if (!http.errorDescription.empty() && !cutShort_ && http.writeError == 0) {
    failureText_ = http.errorDescription;
  }
  return ok;
}

int32_t PageFetcher::probeHeaders(HTTPSCustom& http) {
  http.Head(url_.c_str());  // a failed probe only leaves the length at 0
  const int count = http.GetInteger(https_prop::ParsedHeaderCount);
  if (count < 1) return 0;
  int32_t length = 0;
  for (int i = 0; i < count; ++i) {
    const std::string field = http.GetText(https_prop::ParsedHeaderField, i);
    if (tw_platform::equalsNoCase(field, "Content-Length")) {
      length = std::atoi(http.GetText(https_prop::ParsedHeaderValue, i).c_str());
    } else if (tw_platform::equalsNoCase(field, "Accept-Ranges")) {
      acceptRanges_ = true;
    }
  }
  return length;
}

void PageFetcher::configure(HTTPSCustom& http) {
  http.Config(std::string("UserAgent=") + kUserAgent);
  // 0 (the command line's default) means no time limit.
  http.SetInteger(https_prop::Timeout, timeoutSeconds_);
  if (!user_.empty() && !password_.empty()) {
    http.SetText(https_prop::User, user_.c_str());
    http.SetText(https_prop::Password, password_.c_str());
  }
  http.proxyInUse = proxy_.isSet();
  if (!proxy_.isSet()) return;
  if (proxy_.autoDetect) http.SetInteger(https_prop::ProxyAutoDetect, 1);
  if (proxy_.useWinInet) http.Config("UseWinInet=true");
  http.SetText(https_prop::ProxyServer, proxy_.host.c_str());
  http.SetInteger(https_prop::ProxyPort, proxy_.port);
  if (proxy_.hasCredentials()) {
    http.SetText(https_prop::ProxyUser, proxy_.user.c_str());
    http.SetText(https_prop::ProxyPassword, proxy_.password.c_str());
    http.SetInteger(https_prop::ProxyAuthScheme, static_cast<int>(proxy_.authScheme));
  }
}

bool PageFetcher::downloadOnce(HTTPSCustom& http, bool& retry) {
  http.startRequest();
  const int r = http.Get(url_.c_str());
  http.flushFile();
  if (r <= 0 && http.responseEnded && http.writeError == 0) return true;

  // Nothing of a failed, cut or partly written answer stays in the file.
  SetFilePointer(http.fileHandle, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(http.fileHandle);

  if (http.writeError != 0) {
    // Part of the page is missing from the file (a full disk, say).
    // Checking the rest would store a wrong checksum and report the next
    // full page as changed.
    retry = false;
    failureCode_ = static_cast<int32_t>(http.writeError);
    failureText_ = windows_specific::systemErrorText(http.writeError);
    return false;
  }

  if (r <= 0) {
    // The component took the end of the connection for the end of a body
    // whose length or last chunk never came. Checking that part would
    // store a wrong checksum and report the next full page as changed.
    retry = false;
    cutShort_ = true;
    if (http.disconnectCode != 0) {
      failureCode_ = http.disconnectCode;
      failureText_ = http.disconnectText;
    } else {
      failureCode_ = kErrProtocol;
      failureText_ = kTextCutShort;
    }
    return false;
  }

  failureCode_ = http.GetLastErrorCode();
  const char* text = http.GetLastError();
  failureText_ = text != nullptr ? text : "";

  if (needsProxyAuthRetry()) {
    // Basic, then Digest, then NTLM; after the third refusal no more.
    retry = true;
    switch (proxy_.authScheme) {
      case https_auth::Basic: proxy_.authScheme = https_auth::Digest; break;
      case https_auth::Digest: proxy_.authScheme = https_auth::NTLM; break;
      default:
        proxy_.authScheme = https_auth::None;
        retry = false;
        break;
    }
    http.SetInteger(https_prop::ProxyAuthScheme, static_cast<int>(proxy_.authScheme));
    return false;
  }
  retry = false;
  return false;
}

bool PageFetcher::needsProxyAuthRetry() const {
  return proxy_.isSet() && proxy_.hasCredentials() &&
         tw_platform::asciiLower(failureText_).find("407 proxy authentication required") != std::string::npos;
}

}  // namespace velmora::network
