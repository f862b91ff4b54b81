#include "httpclient/transport/SocketOptions.h"

#include "platform/winsock.h"

namespace velmora::network::component {

void SocketOptions::addSettings(SettingTable& t) {
  // Each setting is stored in its field and applied to the socket at once.
  auto applied = [this](auto& field, int (SocketOptions::*apply)()) {
    return [this, &field, apply](auto value) {
      field = value;
      return (this->*apply)();
    };
  };
  t.addInt32("InBufferSize", [this] { return inBufferSize_; },
             [this](int32_t v) { return setInBufferSize(v); });
  t.addInt32("OutBufferSize", [this] { return outBufferSize_; },
             [this](int32_t v) { return setOutBufferSize(v); });
  t.addBool("TcpNoDelay", [this] { return tcpNoDelay_; },
            applied(tcpNoDelay_, &SocketOptions::applyNoDelay));
  t.addBool("TCPKeepAlive", [this] { return tcpKeepAlive_; },
            applied(tcpKeepAlive_, &SocketOptions::applyKeepAlive));
  t.addInt32("KeepAliveTime", [this] { return keepAliveTime_; },
             applied(keepAliveTime_, &SocketOptions::applyKeepAliveTimes));
  t.addInt32("KeepAliveInterval", [this] { return keepAliveInterval_; },
             applied(keepAliveInterval_, &SocketOptions::applyKeepAliveTimes));
  t.addBool("Linger", [this] { return linger_; }, applied(linger_, &SocketOptions::applyLinger));
  t.addInt32("LingerTime", [this] { return lingerTime_; },
             applied(lingerTime_, &SocketOptions::applyLinger));
}

// Setting either keep-alive time turns keep-alive on when one of the two is
// above 0 or it is on already, and off otherwise.
int SocketOptions::applyKeepAliveTimes() {
  tcpKeepAlive_ = keepAliveTime_ > 0 || keepAliveInterval_ > 0 || tcpKeepAlive_;
  return applyKeepAlive();
}

int SocketOptions::set(uintptr_t socket, int level, int option, const void* value, int size) {
  if (::setsockopt(socket, level, option, static_cast<const char*>(value), size) != 0) {
    return WSAGetLastError();
  }
  return 0;
}

void SocketOptions::applyAtConnect() {
  applyKeepAlive();
  applyLinger();
  applyBufferSize(SO_RCVBUF, inBufferSize_);
  applyBufferSize(SO_SNDBUF, outBufferSize_);
  BOOL on = TRUE;
  set(socket_, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
  if (tcpNoDelay_) applyNoDelay();
}

int SocketOptions::applyKeepAlive() {
  if (socket_ == INVALID_SOCKET) return 0;
  BOOL on = tcpKeepAlive_ ? TRUE : FALSE;
  if (int err = set(socket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on))) {
    // The flag follows what the socket really has.
    BOOL actual = FALSE;
    int size = sizeof(actual);
    if (::getsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&actual),
                     &size) == 0) {
      tcpKeepAlive_ = actual != FALSE;
    }
    return err;
  }
  if (tcpKeepAlive_ && (keepAliveTime_ != 0 || keepAliveInterval_ != 0)) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = keepAliveTime_ != 0 ? static_cast<ULONG>(keepAliveTime_) : 7200000;
    values.keepaliveinterval =
        keepAliveInterval_ != 0 ? static_cast<ULONG>(keepAliveInterval_) : 1000;
    DWORD returned = 0;
    if (WSAIoctl(socket_, SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned,
                 nullptr, nullptr) != 0) {
      return WSAGetLastError();
    }
  }
  return 0;
}

// Linger off resets the connection at close; on without a time lets the
// system finish sending in the background; on with a time waits that long.
int SocketOptions::applyLinger() {
  if (socket_ == INVALID_SOCKET) return 0;
  linger l{};
  l.l_onoff = !linger_ || lingerTime_ != 0 ? 1 : 0;
  l.l_linger = linger_ ? static_cast<u_short>(lingerTime_) : 0;
  return set(socket_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

int SocketOptions::applyBufferSize(int option, int32_t bytes) {
  if (socket_ == INVALID_SOCKET || bytes == 0) return 0;
  return set(socket_, SOL_SOCKET, option, &bytes, sizeof(bytes));
}

int SocketOptions::applyNoDelay() {
  if (socket_ == INVALID_SOCKET) return 0;
  BOOL on = tcpNoDelay_ ? TRUE : FALSE;
  return set(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

int SocketOptions::setInBufferSize(int32_t bytes) {
  inBufferSize_ = bytes;
  return applyBufferSize(SO_RCVBUF, bytes);
}

int SocketOptions::setOutBufferSize(int32_t bytes) {
  outBufferSize_ = bytes;
  return applyBufferSize(SO_SNDBUF, bytes);
}

}  // namespace velmora::network::component
