// One GET through the HTTP client component, set up as the page fetcher sets
// it up (TransferredDataLimit 1, a time limit), and optionally with
// AllowHTTPCompression on, which the page fetcher leaves off. The hostile
// server tests run it as a process of its own, so that the peak memory of a
// response that must be decoded is measured alone.
//
//   tw_hostile_get URL TIMEOUT_SECONDS [compress]
//
// Prints one line: "code=N body=B nonzero=Z raw=R kept=K error=TEXT", where
// body counts the bytes the Transfer events delivered, nonzero those of them
// that are not 0, raw the bytes the component counted before decoding (the
// last Transfer event's BytesTransferred) and kept the size of
// TransferredData. Exit status 0 when the line was printed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "httpclient/HTTPS.h"
#include "httpclient/TessilonSSL_HTTPS.h"

namespace {

class CountingHttps : public HTTPS {
 public:
  long long body = 0, nonzero = 0, raw = 0;

  int FireTransfer(HTTPSTransferEventParams* e) override {
    if (e->Direction != 1) return 0;
    body += e->lenText;
    nonzero += e->lenText - std::count(e->Text, e->Text + e->lenText, '\0');
    raw = e->BytesTransferred;
    return 0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tw_hostile_get URL TIMEOUT_SECONDS [compress]\n");
    return 2;
  }
  TessilonSSL_HTTPS_StaticInit(nullptr);
  {
    CountingHttps https;
    https.SetLong(https_prop::TransferredDataLimit, 1);
    https.SetInteger(https_prop::Timeout, std::atoi(argv[2]));
    if (argc > 3 && std::string(argv[3]) == "compress") {
      https.SetInteger(https_prop::AllowHTTPCompression, 1);
    }
    const int code = https.Get(argv[1]);
    const std::string kept = https.GetText(https_prop::TransferredData);
    std::printf("code=%d body=%lld nonzero=%lld raw=%lld kept=%zu error=%s\n", code, https.body,
                https.nonzero, https.raw, kept.size(), https.GetLastError());
  }
  TessilonSSL_HTTPS_StaticDestroy();
  return 0;
}
