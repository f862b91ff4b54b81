#include "httpclient/transport/SessionTranscript.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace velmora::network::component {

std::string SessionTranscript::block(const char* data, size_t length, bool received) {
  std::string out = received ? "\r\nsend -nonewline \"" : "\r\nexpect -exact \"";
  out.reserve(out.size() + length + 3);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\r' || c == '\n') {
      out += static_cast<char>(c);
    } else if (c < 32 || c >= 127) {
      char esc[5];
      std::snprintf(esc, sizeof(esc), "\\%03o", c);
      out += esc;
    } else {
      if (std::strchr("\\$\"{}[]", c) != nullptr) out += '\\';
      out += static_cast<char>(c);
    }
  }
  out += "\"\r\n";
  return out;
}

void SessionTranscript::open() {
  close();
  if (path_.empty()) return;
  HANDLE h = CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  // Each connection of a session adds to the same transcript.
  SetFilePointer(h, 0, nullptr, FILE_END);
  file_ = h;
}

void SessionTranscript::close() {
  if (file_ != nullptr) CloseHandle(file_);
  file_ = nullptr;
}

void SessionTranscript::record(const char* data, size_t length, bool received) {
  if (file_ == nullptr || length == 0) return;
  std::string text = block(data, length, received);
  DWORD written = 0;
  WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace velmora::network::component
