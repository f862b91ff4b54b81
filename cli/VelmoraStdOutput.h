// Usage, version banner and parse-error output of the command-line parser.
#pragma once

#include <tclap/CmdLine.h>
#include <tclap/StdOutput.h>

#include <string>

namespace velmora::cli_helper {

class VelmoraStdOutputInterface : public TCLAP::StdOutput {};

class VelmoraStdOutput : public VelmoraStdOutputInterface {
 public:
  // Reads the version resource; its exceptions pass on to the caller.
  VelmoraStdOutput();
  ~VelmoraStdOutput() override = default;

  void usage(TCLAP::CmdLineInterface& cmd) override;
  void version(TCLAP::CmdLineInterface& cmd) override;
  void failure(TCLAP::CmdLineInterface& cmd, TCLAP::ArgException& e) override;

  std::string versionText;
  std::string titleText;
  std::string copyrightText;
  std::string companyText;
  std::string descriptionText;
};

}  // namespace velmora::cli_helper
