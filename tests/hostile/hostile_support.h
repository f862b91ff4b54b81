// Streams of any length for the hostile-server tests, made piece by piece
// (never held whole).
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/scripted_peer.h"

namespace tw_hostile {

// A gzip member whose body inflates to `zeros` zero bytes (a multiple of
// 1 MiB): one compressed MiB of zeros, cut at a full flush so that it does
// not refer back, repeated; then the final block and a correct trailer. It
// is made as it is sent, at the cost of about 1 KiB of output per MiB.
class GzipBomb {
 public:
  explicit GzipBomb(uint64_t zeros);
  // Size of the whole member in bytes.
  uint64_t size() const;
  // The generator of a scripted peer step that sends the member.
  tw_test::PeerStep::Generator generator() const;

 private:
  std::string piece(uint64_t offset) const;
  std::string header_, chunk_, tail_;
  uint64_t chunks_ = 0;
};

// A generator that repeats `unit` until `total` bytes went out.
tw_test::PeerStep::Generator repeated(std::string unit, uint64_t total);

}  // namespace tw_hostile
