// The command line: the input split at NUL bytes into arguments after the
// program name, parsed by CliHandler with the parser's exception handling
// off, so that help, version and parse errors throw instead of ending the
// process. Any other exception, a crash or a sanitizer report is a finding.
// Checked after a successful parse: the defaults of validateOptions hold
// (some output and some check are on), a pattern without "*" was adapted,
// the proxy settings are only taken with /proxyhost, and the /evt text gives
// severities in range.
#include <tclap/ArgException.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/CliHandler.h"
#include "cli/ResultSeverities.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxArguments = 40;

void checkParsed(const CliHandler& h) {
  tw_fuzz::check(h.consoleOutput || h.eventLogOutput, "no output after validateOptions");
  tw_fuzz::check(h.checksumEnabled || !h.textPattern.empty(), "no check after validateOptions");
  const std::string& p = h.textPattern;
  tw_fuzz::check(p.empty() || p.find('*') != std::string::npos ||
                     (p.front() == '?' && p.back() == '?'),
                 "pattern \"" + p + "\" was not adapted");
  if (h.proxy.host.empty()) {
    tw_fuzz::check(h.proxy.port == 8080 && h.proxy.authScheme == velmora::ProxySettings::None && h.proxy.user.empty() &&
                       h.proxy.password.empty() && !h.proxy.useWinInet && !h.proxy.autoDetect,
                   "proxy options taken without /proxyhost");
  }
  const velmora::ResultSeverities s = velmora::parseResultSeverities(h.severitiesText);
  for (int i = 0; i < 4; ++i) {
    tw_fuzz::check(s[i] >= -1 && s[i] <= 2, "severity out of range");
  }
}

}  // namespace

void tw_fuzz::setUp() { silenceStdout(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = tw_fuzz::split(data, size, '\0', kMaxArguments);
  std::vector<const char*> argv;
  argv.push_back("tarnwick");
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size()) - 1;
  try {
    CliHandler handler(argc, argv.data(), false);
    checkParsed(handler);
  } catch (TCLAP::ArgException&) {
    // A rejected command line: the program prints its parse error and ends.
  } catch (TCLAP::ExitException& e) {
    tw_fuzz::check(e.getExitStatus() == 0, "help or version ended with a failure status");
  }
  return 0;
}
