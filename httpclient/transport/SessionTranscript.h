// The session transcript (RecordToFile): the bytes of each connection written
// as a script that plays the peer's part. Each block received becomes a
// `send -nonewline "..."` line, each block sent an `expect -exact "..."` line.
// Opened when a connection is established, closed at disconnect; the
// connections of a session add to the same file.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32types.h"

namespace velmora::network::component {

class SessionTranscript {
 public:
  SessionTranscript() = default;
  ~SessionTranscript() { close(); }
  SessionTranscript(const SessionTranscript&) = delete;
  SessionTranscript& operator=(const SessionTranscript&) = delete;

  // The file path (the RecordToFile setting); empty = off.
  std::string& path() { return path_; }
  // Opens the file for appending, when a path is set.
  void open();
  void close();
  void record(const char* data, size_t length, bool received);
  // The transcript form of a block: the bytes with the script's escapes.
  static std::string block(const char* data, size_t length, bool received);

 private:
  std::string path_;
  HANDLE file_ = nullptr;
};

}  // namespace velmora::network::component
