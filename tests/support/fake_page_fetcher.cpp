// Test double of the page fetcher, linked in place of the real one. After
// TW_FAKE_DELAY_MS milliseconds it "downloads" the text of TW_FAKE_PAGE, or
// the content of the file TW_FAKE_PAGE_FILE, into the local file; or it
// fails with the text TW_FAKE_FAILURE and the code TW_FAKE_FAILURE_CODE
// (default 301). With TW_FAKE_MARKERS set it marks start and end on stderr,
// so that tests can time signals.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

namespace {
void mark(const char* text) {
  if (std::getenv("TW_FAKE_MARKERS")) {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
  }
}
}  // namespace

bool PageFetcher::fetch(bool) {
  mark("[fake fetch started]");
  if (const char* delay = std::getenv("TW_FAKE_DELAY_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
  }
  if (const char* failure = std::getenv("TW_FAKE_FAILURE")) {
    failureText_ = failure;
    const char* code = std::getenv("TW_FAKE_FAILURE_CODE");
    failureCode_ = code ? std::atoi(code) : 301;
    mark("[fake fetch done]");
    return false;
  }
  std::string content;
  if (const char* pageFile = std::getenv("TW_FAKE_PAGE_FILE")) {
    std::ifstream in(pageFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
      failureText_ = "The fake page could not be read";
      failureCode_ = 2;
      return false;
    }
    content = text.str();
  } else if (const char* page = std::getenv("TW_FAKE_PAGE")) {
    content = page;
  }
  std::ofstream out(localFile_, std::ios::binary | std::ios::trunc);
  out << content;
  mark("[fake fetch done]");
  return static_cast<bool>(out);
}

}  // namespace velmora::network
