#include "cli/VelmoraStdOutput.h"

#include <iostream>

#include "cli/VersionInfo.h"

namespace velmora::cli_helper {

VelmoraStdOutput::VelmoraStdOutput() {
  boost::shared_ptr<FormattedVersionInfo> info = readVersionInfo(0x040904B0);
  std::string product = narrow(info->ProductVersion);
  for (size_t pos = product.find(", "); pos != std::string::npos; pos = product.find(", ", pos)) {
    product.replace(pos, 2, ".");
    pos += 1;
  }
  versionText = product;
  titleText = narrow(info->ProductName) + " (" + narrow(info->InternalName) + ")";
  copyrightText = narrow(info->LegalCopyright);
  companyText = narrow(info->CompanyName);
  descriptionText = narrow(info->FileDescription);
  info.reset();
}

void VelmoraStdOutput::usage(TCLAP::CmdLineInterface& cmd) { TCLAP::StdOutput::usage(cmd); }

void VelmoraStdOutput::version(TCLAP::CmdLineInterface&) {
  std::cout << titleText << " v" << versionText << std::endl;
  std::cout << copyrightText << " " << companyText << std::endl;
  std::cout << "------------------------------------------" << std::endl;
}

void VelmoraStdOutput::failure(TCLAP::CmdLineInterface& cmd, TCLAP::ArgException& e) {
  version(cmd);
  std::cout << std::endl;
  TCLAP::StdOutput::failure(cmd, e);
}

}  // namespace velmora::cli_helper
