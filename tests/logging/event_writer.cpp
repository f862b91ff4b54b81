// Writes COUNT events through the process-wide logger, each with the strings
// WRITER and its sequence number, for the tests of concurrent writers; with
// "register", it first registers the event source as a check run does.
// Exit code 0 when every event was accepted.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "logging/Logging.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: tw_event_writer WRITER COUNT [register]\n");
    return 2;
  }
  const std::string writer = argv[1];
  const int count = std::atoi(argv[2]);
  if (argc == 4 && std::string(argv[3]) == "register") velmora::logging::logger.ensureEventSource(2);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    velmora::logging::logger.addString(writer);
    velmora::logging::logger.addNumber(i);
    if (!velmora::logging::logger.writeEvent(1, 1010, 0)) ++failed;
  }
  if (failed) std::fprintf(stderr, "%d events were not written\n", failed);
  return failed ? 1 : 0;
}
