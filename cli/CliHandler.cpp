#include "cli/CliHandler.h"

#include <tclap/CmdLine.h>
#include <tclap/HelpVisitor.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>

namespace {

const char* const kSeveritiesDescription =
    "A comma-separated list of RESULT=SEVERITY pairs that specify with which severities "
    "results are logged to the event log.\n"
    "Available results:\n"
    "TXT_FOUND TXT_NOTFOUND CHECKSUM_CHANGE CHECKSUM_EQUAL\n"
    "Available severities:\n"
    "Ignore Information Warning Error\n"
    "Example: TXT_NOTFOUND=Error,CHECKSUM_CHANGE=Error";

// Swaps the parser's built-in help switch ("h") for one with the flag "?",
// in the same place of its argument list, so the usage order is unchanged.
void replaceHelpSwitch(TCLAP::CmdLine& cmd, TCLAP::SwitchArg& help) {
  for (TCLAP::Arg*& arg : cmd.getArgList()) {
    if (arg->getName() == "help") {
      arg = &help;
      return;
    }
  }
}

// The option's value, or when the option is absent the environment
// variable's, so that a password need not appear on the command line.
std::string valueOrEnvironment(const TCLAP::ValueArg<std::string>& arg, const char* variable) {
  if (arg.isSet()) return arg.getValue();
  const char* value = std::getenv(variable);
  return value != nullptr ? value : "";
}

}  // namespace

void hideSecretArguments(int argc, char** argv) {
  static const char* const kSecretFlags[] = {"/p", "/password", "/proxypass"};
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (std::strcmp(arg, "//") == 0) return;  // the rest is ignored by the parser
    for (const char* flag : kSecretFlags) {
      const size_t n = std::strlen(flag);
      if (std::strncmp(arg, flag, n) != 0) continue;
      char* value = nullptr;
      if (arg[n] == '\0' && i + 1 < argc) {
        value = argv[++i];  // "/p secret"
      } else if (arg[n] == ' ') {
        value = arg + n + 1;  // "/p secret" as one argument
      } else {
        continue;  // "/proxypass" is not "/p"
      }
      // Same length, so the other arguments stay where they are.
      std::memset(value, '*', std::strlen(value));
      break;
    }
  }
}

CliHandler::CliHandler(int argc, const char* const* argv, bool parserEndsProcess) {
  TCLAP::CmdLine cmd(descriptionText, ' ', "1.0", true);
  cmd.setExceptionHandling(parserEndsProcess);
  TCLAP::CmdLineOutput* output = this;
  cmd.setOutput(output);
  TCLAP::HelpVisitor helpVisitor(&cmd, &output);
  TCLAP::SwitchArg helpSwitch("?", "help", "Displays usage information and exits.", false,
                              &helpVisitor);
  replaceHelpSwitch(cmd, helpSwitch);

  TCLAP::SwitchArg lcArg("", "lc", "write output to console", cmd, false);
  TCLAP::SwitchArg leArg("", "le", "log to event log", cmd, false);
  TCLAP::SwitchArg checksumArg("", "checksum", "create and compare (verify) checksum", cmd,
                               false);
  TCLAP::SwitchArg clearArg("", "checksums_clear",
                            "Delete all cached checksums from registry, use by itself", cmd,
                            false);
  TCLAP::ValueArg<std::string> patternArg(
      "t", "textpattern", "Search for this text in page (wildcards * and ? are supported)", false,
      "", "text or pattern", cmd);
  TCLAP::ValueArg<std::string> userArg("u", "username", "Authenticate with specified username",
                                       false, "", "username", cmd);
  TCLAP::ValueArg<std::string> passwordArg(
      "p", "password", "Authenticate with specified password", false, "", "password", cmd);
  TCLAP::ValueArg<std::string> evtArg("", "evt", kSeveritiesDescription, false,
                                      "TXT_NOTFOUND=Error,CHECKSUM_CHANGE=Warning",
                                      "event log options", cmd);
  TCLAP::ValueArg<int> timeoutArg("", "timeout", "Specify connection timeout (in seconds)", false,
                                  0, "timeout", cmd);
  TCLAP::SwitchArg ignoreCertArg("i", "ignorecert", "Ignore SSL certificate warnings", cmd,
                                 false);
  TCLAP::ValueArg<std::string> proxyHostArg(
      "", "proxyhost", "Host name or ip address of a proxy server", false, "", "proxy server",
      cmd);
  TCLAP::ValueArg<unsigned short> proxyPortArg("", "proxyport", "IP port of proxy server", false,
                                               8080, "proxy port", cmd);
  TCLAP::ValueArg<std::string> proxyUserArg(
      "", "proxyuser", "Username for proxy server if required", false, "", "proxy username", cmd);
  TCLAP::ValueArg<std::string> proxyPassArg(
      "", "proxypass", "Password for proxy server if required", false, "", "proxy password", cmd);
  TCLAP::SwitchArg proxyAutoArg("", "proxyauto", "Auto-detect proxy settings", cmd, false);
  TCLAP::SwitchArg winInetArg("", "usewininet", "Utilize Windows proxy engine", cmd, false);
  TCLAP::UnlabeledValueArg<std::string> urlArg(
      "url", "url to retrieve (e.g. http://www.example.com/index.html)", true, "", "url", cmd);

  cmd.parse(argc, argv);

  consoleOutput = lcArg.getValue();
  eventLogOutput = leArg.getValue();
  clearChecksums = clearArg.getValue();
  checksumEnabled = checksumArg.getValue();
  textPattern = patternArg.getValue();
  username = userArg.getValue();
  password = valueOrEnvironment(passwordArg, "TARNWICK_PASSWORD");
  severitiesText = evtArg.getValue();
  url = urlArg.getValue();
  ignoreCertificate = ignoreCertArg.getValue();
  if (timeoutArg.isSet()) timeout = timeoutArg.getValue();
  if (proxyHostArg.isSet()) {
    proxy.host = proxyHostArg.getValue();
    proxy.port = proxyPortArg.getValue();
    proxy.useWinInet = winInetArg.getValue();
    proxy.autoDetect = proxyAutoArg.getValue();
    proxy.user = proxyUserArg.getValue();
    proxy.password = valueOrEnvironment(proxyPassArg, "TARNWICK_PROXY_PASSWORD");
    proxy.authScheme = velmora::ProxySettings::Basic;
  }
  validateOptions();
}

void CliHandler::validateOptions() {
  if (textPattern.empty() && !checksumEnabled) {
    std::printf("Neither checksum nor text search option specified, defaulting to checksum.\n");
    checksumEnabled = true;
  }
  if (!consoleOutput && !eventLogOutput) {
    std::printf("Neither console nor event log logging option specified, defaulting to console.\n");
    consoleOutput = true;
  }
  if (!textPattern.empty() && textPattern.find('*') == std::string::npos) {
    const std::string original = textPattern;
    if (textPattern[0] != '?') textPattern.insert(0, "*");
    if (textPattern.back() != '*' && textPattern.back() != '?') textPattern += '*';
    if (textPattern != original && consoleOutput) {
      std::printf(
          "-- Warning: Pattern does not contain wildcards, automatically adapted to: \"%s\" --\n\n",
          textPattern.c_str());
    }
  }
}
