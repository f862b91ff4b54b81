// Entry point: build the command-line handler, install the console control
// handler, run one check.
#include <boost/shared_ptr.hpp>
#include <iostream>

#include "cli/CliHandler.h"
#include "platform/console.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  // Passwords pass through this process: no core file, and its memory kept
  // from other users.
  tw_platform::keepProcessPrivate();
  tw_platform::reuseFreedBuffers();
  boost::shared_ptr<CliHandler> handler;
  try {
    handler.reset(new CliHandler(argc, argv));
    hideSecretArguments(argc, argv);
  } catch (TCLAP::ArgException& e) {
    std::cerr << "error: " << e.error() << " for arg " << e.argId() << std::endl;
    handler.reset();
    return 1;
  } catch (std::exception& e) {
    std::cerr << "Unknown error: " << e.what();
    handler.reset();
    return 10;
  }
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  int32_t result = handler->run();
  handler.reset();
  return result;
}
