// The socket options of the socket engine: each is stored while no socket
// exists, applied at connect, and applied at once when set while a socket
// exists (a failure then returns the Winsock error; at connect failures are
// ignored).
#pragma once

#include <cstdint>

#include "httpclient/transport/SettingTable.h"

namespace velmora::network::component {

class SocketOptions {
 public:
  // The engine's socket handle, INVALID_SOCKET while there is none.
  explicit SocketOptions(const uintptr_t& socket) : socket_(socket) {}

  // InBufferSize, OutBufferSize, TcpNoDelay, TCPKeepAlive, KeepAliveTime,
  // KeepAliveInterval, Linger and LingerTime.
  void addSettings(SettingTable& table);
  // A new socket gets keep-alive, linger, the buffer sizes, out-of-band data
  // inline and, when on, TCP_NODELAY.
  void applyAtConnect();

  // The socket buffer sizes (0 = the system's).
  int setInBufferSize(int32_t bytes);
  int setOutBufferSize(int32_t bytes);

  bool lingerOn() const { return linger_; }

  // One setsockopt call on a socket: 0 or the Winsock error.
  static int set(uintptr_t socket, int level, int option, const void* value, int size);

 private:
  int applyKeepAlive();
  int applyKeepAliveTimes();
  int applyLinger();
  int applyBufferSize(int option, int32_t bytes);
  int applyNoDelay();

  const uintptr_t& socket_;
  int32_t inBufferSize_ = 0;   // 0 = the system's size
  int32_t outBufferSize_ = 0;
  bool linger_ = true;
  int32_t lingerTime_ = 0;
  bool tcpKeepAlive_ = false;
  int32_t keepAliveTime_ = 0;
  int32_t keepAliveInterval_ = 0;
  bool tcpNoDelay_ = false;
};

}  // namespace velmora::network::component
