// The settings of one check, from the command line, and the check run itself.
#pragma once

#include <cstdint>
#include <string>

#include "fetch/ProxySettings.h"
#include "cli/ResultSeverities.h"
#include "cli/VelmoraStdOutput.h"
#include "platform/win32types.h"

struct CliHandler : public velmora::cli_helper::VelmoraStdOutput {
  // Parses the command line; TARNWICK_PASSWORD and TARNWICK_PROXY_PASSWORD
  // stand for /p and /proxypass when those are absent. Help, version and
  // parse errors end the process inside the parser. With parserEndsProcess
  // false they throw instead: TCLAP::ArgException for a rejected command
  // line, TCLAP::ExitException after help or version was printed (for callers
  // that parse many command lines in one process, such as the fuzz target).
  CliHandler(int argc, const char* const* argv, bool parserEndsProcess = true);
  ~CliHandler() override = default;

  // Runs one check and returns the exit code.
  int32_t run();

  // Applies the defaults and adapts the text pattern, printing the notices.
  void validateOptions();

  bool consoleOutput = false;
  bool eventLogOutput = false;
  bool checksumEnabled = false;
  bool clearChecksums = false;
  std::string textPattern;
  std::string username;
  std::string password;
  std::string severitiesText;
  bool ignoreCertificate = false;
  int32_t timeout = 0;
  velmora::ProxySettings proxy;
  std::string url;
};

// Largest part of a page the pattern search reads.
constexpr uint32_t kMaxPatternSearchSize = 8388608;

// Overwrites the values of /p, /password and /proxypass in the process's own
// argument vector (after parsing), so that other users do not read them in
// the process list.
void hideSecretArguments(int argc, char** argv);

// The program's short name, used in the temporary file name.
extern const std::string programShortName;

// "<temp dir>tarnwick_<seconds>_<pid>.tmp"
std::string makeTempFileName();

// Keeps Ctrl+C and Ctrl+Break from ending a running check.
BOOL onConsoleControl(DWORD ctrlType);
