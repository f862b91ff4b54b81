// The intermediary's replies as the tunnel reads them, without sockets: the
// options byte picks the tunnel type (1 CONNECT, 2 SOCKS 4, 3 SOCKS 5 with
// its method, authentication and connect replies in turn) and the message
// is played once whole and once in the pieces the input chooses, each
// piece joining the reply buffer before it is judged. A verdict never
// claims more bytes than it was given, a failure always has a text, and a
// SOCKS reply means the same however it is cut (a CONNECT refusal may be
// judged on the first ten bytes, so there only the outcome must agree).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "httpclient/transport/TunnelReply.h"

namespace {

using velmora::network::component::judgeTunnelReply;
using velmora::network::component::kMaxTunnelReply;
using velmora::network::component::ReplyVerdict;
using velmora::network::component::TunnelReply;
using Outcome = ReplyVerdict::Outcome;

// The last verdict of a negotiation and the replies it went through.
struct Played {
  ReplyVerdict verdict;
  std::string steps;
};

Played play(int type, const std::vector<std::string>& pieces) {
  TunnelReply kind = type == 1   ? TunnelReply::HttpConnect
                     : type == 2 ? TunnelReply::Socks4
                                 : TunnelReply::Socks5Method;
  Played p;
  std::string buffer;
  for (const std::string& piece : pieces) {
    buffer += piece;
    for (;;) {
      p.verdict = judgeTunnelReply(kind, buffer);
      const ReplyVerdict& v = p.verdict;
      tw_fuzz::check(v.outcome == Outcome::More || v.outcome == Outcome::Accept ||
                         !v.text.empty(),
                     "a failure without text");
      if (v.outcome == Outcome::More) {
        tw_fuzz::check(buffer.size() < kMaxTunnelReply, "a reply grew past the limit");
        break;
      }
      if (v.outcome != Outcome::Accept) return p;
      tw_fuzz::check(v.length > 0 && v.length <= buffer.size(), "an accepted length out of range");
      p.steps += std::to_string(static_cast<int>(kind)) + ":" + std::to_string(v.length) + " ";
      if (kind == TunnelReply::Socks5Method) {
        kind = v.value == 0 ? TunnelReply::Socks5Connect : TunnelReply::Socks5Auth;
      } else if (kind == TunnelReply::Socks5Auth) {
        kind = TunnelReply::Socks5Connect;
      } else {
        return p;
      }
      buffer.erase(0, v.length);
    }
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw_fuzz::CutInput input;
  if (!input.take(data, size)) return 0;
  const int type = 1 + input.options % 3;
  const Played whole = play(type, {input.message});
  const Played cut = play(type, input.pieces());
  tw_fuzz::check(whole.verdict.outcome == cut.verdict.outcome, "the outcome depends on the cuts");
  if (type != 1) {
    tw_fuzz::check(whole.verdict.text == cut.verdict.text && whole.steps == cut.steps,
                   "a SOCKS reply reads differently when cut");
  }
  return 0;
}
