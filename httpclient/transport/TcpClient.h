// TCP client: the socket engine with the tunnel sub-object in its data path.
// What it is: decides the connect target (the intermediary when a tunnel is
//   configured), and routes connect results, received bytes and disconnects
//   through the tunnel before they go up.
// May call below: the socket engine's operations.
// Tells above: onConnect, onRawDataIn, onDisconnect (overridden by TLS).
// Re-entrancy: as the socket engine; the tunnel runs inside its handlers.
// The layers above configure the tunnel through this class's operations.
#pragma once

#include "httpclient/transport/InternetSettings.h"
#include "httpclient/transport/SocketEngine.h"
#include "httpclient/transport/Tunnel.h"

namespace velmora::network::component {

class TcpClient : public SocketEngine {
 public:
  TcpClient();

  // The tunnel's properties, read and set by the component object.
  Tunnel& tunnel() { return tunnel_; }
  const Tunnel& tunnel() const { return tunnel_; }
  bool tunnelConfigured() const { return tunnel_.type() != 0; }

  // The tunnel type alone (its default port comes with it).
  void setTunnelType(int type) { tunnel_.setType(type); }
  // A tunnel to the remote host through an intermediary: its type, host
  // (resolved; a failure returns its code after the type is set), port and
  // credentials.
  int setTunnel(int type, const std::string& host, int32_t port, const std::string& user,
                const std::string& password);

  int setRemoteHost(const std::string& host) override;
  bool configSetting(const ConfigRequest& req, std::string& answer, int& code) override;

  // Called by the tunnel: results and data once the tunnel is up (or absent).
  void tunnelConnected(int code) { connectNotification(code); }
  int tunnelDataIn(const char* data, int length, bool endOfLine) {
    return rawDataIn(data, length, endOfLine);
  }
  void tunnelDisconnected(int code) { disconnectNotification(code); }
  void tunnelConnectionStatus(const std::string& event, int code) {
    reportConnectionStatus(event, code);
  }
  void tunnelError(int code, const std::string& text) { onError(code, text); }
  void tunnelPutBack(const char* data, size_t length) { putBack(data, length); }
  bool tunnelHandshakePending() const { return secureHandshakePending(); }
  // Negotiate tokens come from the system security package ("UseSystemSSPI",
  // a setting of the layer above).
  virtual bool tunnelSystemSspi() const { return false; }
  // The request URI a Digest-authenticated CONNECT names.
  void setTunnelDigestUri(const std::string& uri) { tunnel_.setDigestUri(uri); }

 protected:
  // The system proxy list of the Internet Settings, for the layers above.
  static bool systemProxyList(std::string& value) { return systemProxyServer(value); }
  // The engine's connect results, data and disconnects go through the tunnel.
  void onConnect(int code) override { tunnel_.onConnectResult(code); }
  void onDisconnect(int code) override { tunnel_.onDisconnect(code); }
  int onRawDataIn(const char* data, int length, bool endOfLine) override {
    return tunnel_.onData(data, length, endOfLine);
  }
  // With a tunnel the socket connects to the intermediary.
  bool tunnelTarget(uint32_t& address, uint16_t& port) const override;
  bool tunnelNegotiating() const override { return tunnel_.negotiating(); }
  bool tunnelReadsRaw() const override { return tunnel_.readsRaw(); }

 private:
  Tunnel tunnel_;
};

}  // namespace velmora::network::component
