// The intermediary's replies during a tunnel negotiation, judged without
// I/O: the tunnel gives the bytes gathered so far and learns whether the
// reply is complete, how long it is, and what it says. Bytes after a reply's
// length belong to whatever comes next. No reply may grow past
// kMaxTunnelReply: a longer one fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::network::component {

// The reply a negotiation step waits for.
enum class TunnelReply {
  HttpConnect,    // status line and header lines of a CONNECT answer
  Socks4,         // the 8-byte SOCKS 4 answer
  Socks5Method,   // the authentication method the SOCKS 5 server chose
  Socks5Auth,     // the verdict on the user name and password
  Socks5Connect,  // the connect answer, with a bound address of its type
};

struct ReplyVerdict {
  enum class Outcome {
    More,    // incomplete: wait for more bytes
    Accept,  // complete and favourable
    Fail,    // unfavourable or malformed: text says why
    Refuse,  // an HTTP proxy's refusal: text is the message for the last error
  };
  Outcome outcome = Outcome::More;
  size_t length = 0;  // Accept: the bytes of the reply itself
  int value = 0;      // Socks5Method Accept: the chosen method
  std::string text;
};

constexpr size_t kMaxTunnelReply = 65536;

ReplyVerdict judgeTunnelReply(TunnelReply kind, std::string_view bytes);

// The status line of an authenticating CONNECT's reply (its line end
// removed): the code is the text after the first spaces, the reason what
// follows the code and one space.
struct StatusLine {
  std::string code;
  std::string reason;
};
StatusLine splitStatusLine(std::string_view line);

// A length from a proxy's reply: decimal (Content-Length) or hexadecimal up
// to the first other character (a chunk size). False when it passes limit.
bool readLength(std::string_view text, int base, size_t limit, size_t& length);

}  // namespace velmora::network::component
