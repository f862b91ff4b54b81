// Writes COUNT events through the process-wide logger, each with the strings
// WRITER and its sequence number, for the tests of concurrent writers.
// Exit code 0 when every event was accepted.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "logging/Logging.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tw_event_writer WRITER COUNT\n");
    return 2;
  }
  const std::string writer = argv[1];
  const int count = std::atoi(argv[2]);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    velmora::logging::logger.addString(writer);
    velmora::logging::logger.addNumber(i);
    if (!velmora::logging::logger.writeEvent(1, 1010, 0)) ++failed;
  }
  if (failed) std::fprintf(stderr, "%d events were not written\n", failed);
  return failed ? 1 : 0;
}
