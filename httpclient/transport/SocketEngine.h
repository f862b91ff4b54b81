// Socket engine: the lowest layer of the HTTP client component.
// What it is: one non-blocking TCP socket per component, driven by network
//   events posted to a hidden window; the wait step every blocking operation
//   repeats; the receive handler, line buffer and send paths on that socket.
// May call below: the platform's message, socket and tick-count interfaces.
// Tells above: the virtual notifications below (connect, disconnect, raw data
//   in, error, ready to send) and the event-firing operations.
// Re-entrancy: one thread per component; flags (receiving, close pending,
//   dispatching), not locks, guard re-entry from inside event handlers.
//
// Built so far: the state, the settings, the error state with its completion
// rule, the Winsock error texts, Timeout and the deadline. The network
// operations are declared and answer that the engine is not built yet.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/transport/ConfigText.h"
#include "httpclient/transport/SettingTable.h"
#include "platform/win32types.h"

namespace velmora::network::component {

// Modes of the receive handler.
enum class ReceiveMode {
  Event,   // a read event arrived
  Drain,   // one pass made by close, so bytes still in the socket are handed on
  Resume,  // AcceptData was set true again
  Flush,   // only hand on the complete lines already buffered
};

class SocketEngine {
 public:
  SocketEngine();
  virtual ~SocketEngine();
  SocketEngine(const SocketEngine&) = delete;
  SocketEngine& operator=(const SocketEngine&) = delete;

  // --- process-wide start-up and shut-down -----------------------------------
  // Keeps the module instance for the hidden window class. Registering the
  // class and starting Winsock come with the engine's network part.
  static int startup(HINSTANCE module);
  static void shutdown();
  static HINSTANCE moduleInstance();
  // The Winsock start-up result and granted version ("%d.%d").
  static int winsockStatus();
  static std::string winsockVersionText();

  // --- error state, shared by all layers --------------------------------------
  int lastErrorCode() const { return lastErrorCode_; }
  const std::string& lastErrorText() const { return lastErrorText_; }
  void clearError();
  // Sets code and text; returns the code.
  int setError(int code, const std::string& text);
  // Keeps the code; the text only when none is set yet.
  int setErrorCode(int code);
  // Stores a public operation's result as the last error and completes its
  // text: 200 reads "Out of memory."; 301 without a text reads "Interrupted.";
  // any other non-zero code without a text gets the Winsock text.
  void completeError(int code);
  // "[code] description", or "[code] (no description available)".
  static std::string winsockErrorText(int code);
  // Sets the error for an operation of a part that is not built yet.
  int notBuilt(const char* part, const char* operation);

  // --- addresses ---------------------------------------------------------------
  virtual int setRemoteHost(const std::string& host);
  int setRemotePort(uint16_t port);
  const std::string& remoteHost() const { return remoteHost_; }
  uint16_t remotePort() const { return remotePort_; }
  virtual int getLocalHost(std::string& out);
  virtual int setLocalHost(const std::string& host);

  // --- connection ---------------------------------------------------------------
  virtual int connect();
  // Connects and repeats the wait step until the connection is up (the TLS
  // layer: until its handshake is complete) or fails.
  virtual int connectBlocking();
  // Closes with a code; its upper 16 bits carry a Winsock error, 0 = orderly.
  virtual int close(uint32_t code);
  bool socketExists() const { return socketExists_; }
  bool isConnected() const { return connected_; }
  bool isConnecting() const { return connecting_; }

  // --- waiting ---------------------------------------------------------------------
  // One wait step: false ends the blocking operation (code 301).
  virtual bool waitStep(uint32_t waitMillis);
  // Processes pending socket and window events once, without waiting.
  int processPendingEvents();
  // Timeout in seconds, or milliseconds when TimeoutInMilliseconds is on.
  void setTimeout(int32_t value);
  int32_t timeout() const;
  int32_t timeoutMillis() const { return timeoutMillis_; }
  // Deadline = now + timeout, none when the timeout is 0.
  void armDeadline();
  void clearDeadline() { deadline_ = 0; }
  bool deadlineSet() const { return deadline_ != 0; }
  bool deadlinePassed() const;
  void requestInterrupt() { interruptRequested_ = true; }
  bool interruptRequested() const { return interruptRequested_; }
  bool interrupted() const { return interrupted_; }
  void clearInterrupted() { interrupted_ = false; interruptRequested_ = false; }

  // --- receive and send paths --------------------------------------------------
  virtual int setEol(const std::string& marker);
  const std::string& eol() const { return eol_; }
  int setAcceptData(bool accept);
  bool acceptData() const { return acceptData_; }
  virtual int setSplitCrlf(bool on);
  bool splitCrlf() const { return splitCrlf_; }
  // Sends what the socket takes now; 10035 when it took only part.
  int sendOnce(const char* data, int length, bool throughTunnel);
  // Sends everything, waiting between pieces, under the MaxTransferRate cap.
  int sendBlocking(const char* data, int length, bool reportProgress, bool notifyHttp);

  // --- socket options ------------------------------------------------------------
  int setInBufferSize(int32_t bytes);
  int setOutBufferSize(int32_t bytes);
  int setTcpNoDelay(bool on);
  int setTcpKeepAlive(bool on);
  int setKeepAliveTime(int32_t millis);
  int setKeepAliveInterval(int32_t millis);
  int setLinger(bool on);
  int setLingerTime(int32_t seconds);
  int32_t inBufferSize() const { return inBufferSize_; }
  int32_t outBufferSize() const { return outBufferSize_; }
  bool tcpKeepAlive() const { return tcpKeepAlive_; }

  // --- shared virtual operations, in chain order -------------------------------
  // Messages of the hidden window (network events, events run on its thread).
  virtual LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Config: each layer handles its own names and passes the rest down.
  // True when a layer knew the name.
  virtual bool configSetting(const ConfigRequest& req, std::string& answer, int& code);
  // (LocalHost getter and setter and the wait step are declared above.)
  // The TLS security context of the connection; none below the TLS layer.
  virtual void* securityContext();
  virtual int setMaxLineLength(int32_t length);
  virtual int32_t maxLineLength() const;
  // Resets the socket state after a close or a failed connect.
  virtual void cleanupSocket();
  virtual int receive(ReceiveMode mode);

 protected:
  // What the engine hands to the tunnel layer: connect results, received
  // blocks or lines, and disconnects. Without a tunnel layer they go straight
  // to the notifications below.
  virtual void onConnect(int code) { connectNotification(code); }
  virtual void onDisconnect(int code) { disconnectNotification(code); }
  virtual int onRawDataIn(const char* data, int length, bool endOfLine) {
    return rawDataIn(data, length, endOfLine);
  }
  // Notifications of the connection's owner, overridden by the layers above.
  // Connect: ConnectionStatus "Remote host connection complete." or
  // "Remote host connection failed.", then Connected with the code.
  virtual void connectNotification(int code);
  // Disconnect: ConnectionStatus "Remote host disconnected.", then Disconnected.
  virtual void disconnectNotification(int code);
  virtual int rawDataIn(const char* data, int length, bool endOfLine) {
    return reportDataIn(data, length, endOfLine);
  }
  virtual void onError(int code, const std::string& text);
  virtual void onReadyToSend();
  // Reports: decide what to tell the application, then fire.
  virtual void reportConnectionStatus(const std::string& event, int code);
  virtual void reportConnected(int code);
  virtual int reportDataIn(const char* data, int length, bool endOfLine);
  virtual void reportDisconnected(int code);
  // Event firing, implemented by the component object.
  virtual void fireConnected(int /*code*/, const std::string& /*description*/) {}
  virtual int fireDataIn(const char* /*data*/, int /*length*/, bool /*endOfLine*/) { return 0; }
  virtual void fireDisconnected(int /*code*/, const std::string& /*description*/) {}
  virtual void fireError(int /*code*/, const std::string& /*description*/) {}
  virtual void fireReadyToSend() {}
  virtual void fireConnectionStatus(const std::string& /*event*/, int /*code*/,
                                    const std::string& /*description*/) {}
  // The TLS close step and the TLS events (the TLS layer implements them).
  virtual int tlsCloseStep(bool /*sendCloseNotify*/) { return 0; }
  virtual void fireSSLStatus(const std::string& /*message*/) {}
  virtual int fireSSLServerAuthentication(const std::string& /*certEncoded*/,
                                          const std::string& /*subject*/,
                                          const std::string& /*issuer*/,
                                          const std::string& /*status*/, bool accept) {
    return accept ? 1 : 0;
  }

  // Stores the remote host text without resolving it (a tunnel resolves it).
  void storeRemoteHostText(const std::string& host) { remoteHost_ = host; }
  // Runs one of a layer's settings: true when the table knew the name.
  bool runSetting(const SettingTable& table, const ConfigRequest& req, std::string& answer,
                  int& code);

 private:
  static uint32_t tickCount();

  // Error state.
  int lastErrorCode_ = 0;
  std::string lastErrorText_;

  // Wait and timeout.
  void* window_ = nullptr;  // the hidden window, created with the network part
  int32_t timeoutMillis_ = 60000;
  uint32_t deadline_ = 0;   // tick count; 0 = none
  int32_t selectWaitMillis_ = 20;
  bool timeoutInMilliseconds_ = false;
  bool absoluteTimeout_ = false;
  bool interruptRequested_ = false;
  bool interrupted_ = false;
  bool dispatching_ = false;
  bool ignoreExternalEvents_ = false;

  // Addresses.
  std::string localHostText_;  // as set; resolved with the network part
  bool socketExists_ = false;
  int32_t inBufferSize_ = 0;
  int32_t outBufferSize_ = 0;
  bool useIPv6_ = false;
  std::string remoteHost_;
  uint16_t remotePort_ = 0;
  bool bindIPv6Address_ = true;

  // Connection.
  bool connected_ = false;
  bool connecting_ = false;

  // Socket options.
  bool linger_ = true;
  int32_t lingerTime_ = 0;
  bool tcpKeepAlive_ = false;
  int32_t keepAliveTime_ = 0;
  int32_t keepAliveInterval_ = 0;
  bool tcpNoDelay_ = false;

  // Receive and send paths.
  bool acceptData_ = true;
  bool receiving_ = false;
  bool closePending_ = false;
  uint32_t pendingCloseCode_ = 0;
  int64_t maxTransferRate_ = 0;
  int32_t lineCapacity_ = 2048;  // plain connections' line buffer
  std::string eol_;
  bool splitCrlf_ = false;
  std::string recordToFile_;

  // Stored only: quality of service is never applied by this program.
  int32_t qosTrafficType_ = 0;
  int32_t qosDscpValue_ = 0;

  SettingTable settings_;
};

}  // namespace velmora::network::component
