// Socket engine: the lowest layer of the HTTP client component.
// What it is: one non-blocking TCP socket per component, driven by network
//   events posted to a hidden window; the wait step every blocking operation
//   repeats; the receive handler (framing by its LineBuffer) and send paths.
// May call below: the platform's message, socket and tick-count interfaces.
// Tells above: the virtual notifications below (connect, disconnect, raw data
//   in, error, ready to send) and the event-firing operations.
// Re-entrancy: one thread per component; states (the receive handler's close
//   pending, the dispatching flag), not locks, guard re-entry from handlers.
//
// Process start-up registers the hidden window class, loads the optional
// ws2_32 entry points and starts Winsock; each engine owns one hidden window
// whose first pointer-sized word of extra storage holds the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "httpclient/transport/ConfigText.h"
#include "httpclient/transport/HostAddress.h"
#include "httpclient/transport/LineBuffer.h"
#include "httpclient/transport/SessionTranscript.h"
#include "httpclient/transport/SettingTable.h"
#include "httpclient/transport/SocketOptions.h"
#include "platform/messages.h"
#include "platform/win32types.h"

namespace velmora::network::component {

// Modes of the receive handler.
enum class ReceiveMode {
  Event,   // a read event arrived
  Drain,   // one pass made by close, so bytes still in the socket are handed on
  Resume,  // AcceptData was set true again
  Flush,   // only hand on the complete lines already buffered
};

// The connection of the socket.
enum class ConnectionState {
  Idle,        // no connect issued, or its outcome was a failure
  Connecting,  // connect issued, completion not yet seen
  Connected,   // FD_CONNECT arrived without an error
  Closing,     // close is telling the layers above about the disconnect
};

// The receive handler.
enum class ReceiveState {
  Idle,          // not running
  Receiving,     // running (a read event, or the drain pass of a close)
  ClosePending,  // running, and a close asked for meanwhile waits for it
};

class SocketEngine {
 public:
  // Messages of the hidden window: network events of the socket, and events
  // the HTTP layer runs on the window's thread.
  static constexpr UINT kSocketMessage = 0x0400 + 101;
  static constexpr UINT kRunEventMessage = 0x0400 + 123;
  static constexpr const char* kWindowClass = "__tessilonssl_socket_wnd__";

  SocketEngine();
  virtual ~SocketEngine();
  SocketEngine(const SocketEngine&) = delete;
  SocketEngine& operator=(const SocketEngine&) = delete;

  // --- process-wide start-up and shut-down -----------------------------------
  // Registers the hidden window class, looks up the optional ws2_32 entry
  // points and starts Winsock 2.2. Nothing that fails here stops start-up.
  static int startup(HINSTANCE module);
  static void shutdown();
  static HINSTANCE moduleInstance();
  // The Winsock start-up result and granted version ("%d.%d").
  static int winsockStatus();
  static std::string winsockVersionText();

  // --- error state, shared by all layers --------------------------------------
  // The first failure of an operation fills it; later failures leave it alone
  // until it is reset: clearError() at the start of an operation forgets it,
  // completeError() at the end of a public operation and rearmError() at the
  // start of a property read let the next failure replace it.
  int lastErrorCode() const { return lastErrorCode_; }
  const std::string& lastErrorText() const { return lastErrorText_; }
  void clearError();
  void rearmError() { errorSet_ = false; }
  // The one setter: records the failure unless one is recorded; returns the
  // code. A failure without a text gets one when its public operation ends.
  int setError(int code, const std::string& text = std::string());
  // A public operation ended with this code: it becomes the last error code
  // and its text is completed: 200 reads "Out of memory."; 301 without a
  // text reads "Interrupted."; any other non-zero code without a text gets
  // the Winsock text.
  void completeError(int code);

  // --- addresses ---------------------------------------------------------------
  virtual int setRemoteHost(const std::string& host);
  int setRemotePort(uint16_t port);
  const std::string& remoteHost() const { return remoteHost_; }
  uint16_t remotePort() const { return remotePort_; }
  virtual int getLocalHost(std::string& out);
  virtual int setLocalHost(const std::string& host);
  bool useIPv6() const { return useIPv6_; }
  void setUseIPv6(bool on) { useIPv6_ = on; }
  // The remote address in numeric form ("" when none is resolved).
  std::string remoteAddressText() const;

  // --- connection ---------------------------------------------------------------
  virtual int connect();
  // Connects and repeats the wait step until the connection is up (the TLS
  // layer: until its handshake is complete) or fails.
  virtual int connectBlocking();
  // Closes with a code; its upper 16 bits carry a Winsock error, 0 = orderly.
  virtual int close(uint32_t code);
  bool socketExists() const;
  bool isConnected() const { return connection_ == ConnectionState::Connected; }
  // The socket handle, or -1 when there is none.
  int64_t socketHandle() const;

  // --- waiting ---------------------------------------------------------------------
  // One wait step: false ends the blocking operation (code 301).
  virtual bool waitStep(uint32_t waitMillis);
  // The wait step with the configured SelectWaitMillis.
  bool waitStep() { return waitStep(static_cast<uint32_t>(selectWaitMillis_)); }
  int32_t selectWaitMillis() const { return selectWaitMillis_; }
  // Processes the pending socket and window events once, without waiting.
  int processPendingEvents() {
    runPendingEvents();
    return 0;
  }
  // The same; returns how many messages it ran.
  int runPendingEvents();
  // Timeout in seconds, or milliseconds when TimeoutInMilliseconds is on.
  void setTimeout(int32_t value);
  int32_t timeout() const;
  int32_t timeoutMillis() const { return timeoutMillis_; }
  // Deadline = now + timeout, none when the timeout is 0.
  void armDeadline();
  bool deadlineSet() const { return deadline_ != 0; }
  bool deadlinePassed() const;
  bool absoluteTimeout() const { return absoluteTimeout_; }
  void requestInterrupt() { interruptRequested_ = true; }
  bool interrupted() const { return interrupted_; }
  void clearInterrupted() { interrupted_ = false; interruptRequested_ = false; }
  // The hidden window (null when it could not be created or was closed).
  HWND window() const { return window_; }

  // --- receive and send paths --------------------------------------------------
  virtual int setEol(const std::string& marker);
  const std::string& eol() const { return lines_.eol(); }
  int setAcceptData(bool accept);
  virtual int setSplitCrlf(bool on);
  bool splitCrlf() const { return lines_.splitCrlf(); }
  // Sends what the socket takes now; 10035 when it took only part. With
  // throughTunnel the send also needs the tunnel to be established.
  int sendOnce(const char* data, int length, bool throughTunnel);
  // Sends everything, waiting between pieces, under the MaxTransferRate cap.
  // reportProgress: the HTTP layer hears the bytes sent after each partial
  // send; notifyHttp: it hears before the first byte and after the last.
  int sendBlocking(const char* data, int length, bool reportProgress, bool notifyHttp);
  // Bytes per second over the current measuring window at time now
  // (milliseconds of the system time); 0 when no time has passed.
  int64_t transferRate(int64_t nowMillis) const;

  // --- socket options (InBufferSize, TcpNoDelay, Linger, ...) ---------------------
  SocketOptions& options() { return options_; }

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

  // Session transcript: a block of bytes received from or sent to the peer.
  void record(const char* data, size_t length, bool received) {
    transcript_.record(data, length, received);
  }

 protected:
  // What the engine hands to the tunnel layer: connect results, received
  // blocks or lines, and disconnects. Without a tunnel layer they go straight
  // to the notifications below.
  virtual void onConnect(int code) { connectNotification(code); }
  virtual void onDisconnect(int code) { disconnectNotification(code); }
  virtual int onRawDataIn(const char* data, int length, bool endOfLine) {
    return rawDataIn(data, length, endOfLine);
  }
  // The connect target of a configured tunnel: false without one.
  virtual bool tunnelTarget(uint32_t& /*address*/, uint16_t& /*port*/) const { return false; }
  // True while a tunnel is being negotiated; raw while its replies are not
  // read by lines.
  virtual bool tunnelNegotiating() const { return false; }
  virtual bool tunnelReadsRaw() const { return false; }
  // True while a secure channel waits for its handshake: its disconnect
  // notification then reports the failed handshake itself.
  virtual bool secureHandshakePending() const { return false; }
  // Bytes a tunnel read past its reply: they come up again as if freshly
  // received, before anything still in the socket.
  void putBack(const char* data, size_t length);
  // Whether the socket's bytes are the session's plain bytes (false for TLS,
  // which records the bytes before encryption and after decryption).
  virtual bool recordsSocketBytes() const { return true; }
  // One send of the blocking send: through TLS when it is active.
  virtual int sendPiece(const char* data, int length) { return sendOnce(data, length, true); }
  // The blocking send tells the HTTP layer before the first byte, after each
  // partial send and after the last byte; a non-zero answer ends the send.
  virtual int sendStarting() { return 0; }
  virtual int sendProgress(int64_t /*bytesSent*/) { return 0; }
  virtual int sendFinished() { return 0; }
  // An event run on the window's thread through kRunEventMessage.
  virtual LRESULT runWindowEvent(WPARAM /*wParam*/, LPARAM /*lParam*/) { return 0; }
  // Milliseconds of the system time, for the transfer-rate window.
  virtual int64_t systemMillis() const;

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
  // The text an event carries with a code: "OK" for 0, else the last error
  // text, or the Winsock text when none is set.
  std::string eventText(int code) const;
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

  // The blocking connect holds received data back until the connection is
  // up (hold), then lets it flow (TLS: the decrypted data, so that the
  // handshake's bytes still flow while it runs).
  virtual void holdReceivedData(bool hold) { setAcceptData(!hold); }
  // AcceptData changed without the read it would start or post: for a layer
  // above that stops nested reads while it hands bytes up.
  bool swapAcceptData(bool accept) {
    const bool was = acceptData_;
    acceptData_ = accept;
    return was;
  }
  // What the last send took (a TLS layer: the plain bytes it consumed).
  uint32_t bytesAccepted() const { return bytesAccepted_; }
  void setBytesAccepted(uint32_t n) { bytesAccepted_ = n; }

  // Stores the remote host text without resolving it (a tunnel resolves it).
  void storeRemoteHostText(const std::string& host) { remoteHost_ = host; }
  // Runs one of a layer's settings: true when the table knew the name.
  bool runSetting(const SettingTable& table, const ConfigRequest& req, std::string& answer,
                  int& code);
  // MaxLineLength of a layer's line buffer: 112 while a socket exists.
  int setLineCapacity(LineBuffer& buffer, int32_t length, int32_t limit);

 private:
  static LRESULT windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static uint32_t tickCount();

  void networkEvent(int event, int error, LPARAM lParam);
  int performPendingClose();
  void setConnectionState(ConnectionState next);
  void setReceiveState(ReceiveState next);
  // Hands bytes to the tunnel layer, re-arming the deadline first.
  int handOn(const char* data, size_t length, bool endOfLine);
  bool receiveStops(ReceiveMode mode) const;
  // Hands on what the line buffer has ready: the complete lines, each
  // followed by a check of the stop conditions (`stopped`), and a block when
  // no marker splits lines. `all`: also the rest once the lines are out.
  int handOnBuffered(ReceiveMode mode, bool all, bool& stopped);
  // The receive handler's loop; receive() adds the read-ahead's notice.
  int receiveLoop(ReceiveMode mode);
  // What one recv of at most `room` bytes gives, taken from the read-ahead
  // when it holds bytes. Only a read event reads ahead: it acts as the front
  // of the socket's queue, so bytes left in it announce themselves with a
  // read event, the end of the stream is reported once they are taken, and
  // a close with bytes left in it resets the connection.
  int receiveBytes(char* into, size_t room, ReceiveMode mode);
  // One message taken by the wait step, dispatched as the component's own.
  void dispatch(MSG& msg);

  // Error state.
  int lastErrorCode_ = 0;
  std::string lastErrorText_;
  bool errorSet_ = false;  // a failure of the current operation is recorded

  // Wait and timeout.
  HWND window_ = nullptr;
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
  uintptr_t socket_;  // INVALID_SOCKET when there is none
  HostAddress local_;  // to bind to: 0 = any
  bool useIPv6_ = false;
  std::string remoteHost_;
  HostAddress remote_;
  uint16_t remotePort_ = 0;
  bool bindIPv6Address_ = true;

  // Connection.
  ConnectionState connection_ = ConnectionState::Idle;
  // The outcome the blocking connect waits for: -1 while none has arrived.
  int connectOutcome_ = -1;
  std::string connectOutcomeText_;

  SocketOptions options_{socket_};

  // Receive and send paths.
  bool acceptData_ = true;
  ReceiveState receiving_ = ReceiveState::Idle;
  uint32_t pendingCloseCode_ = 0;
  uint32_t bytesAccepted_ = 0;
  int64_t maxTransferRate_ = 0;
  int64_t rateCount_ = 0;
  int64_t rateWindowStart_ = 0;
  int64_t lastSendTime_ = 0;
  LineBuffer lines_;
  // FD_CLOSE (its lParam) that arrived while read-ahead bytes were left.
  std::optional<LPARAM> deferredClose_;
  SessionTranscript transcript_;

  // Stored only: quality of service is never applied by this program.
  int32_t qosTrafficType_ = 0;
  int32_t qosDscpValue_ = 0;

  SettingTable settings_;
};

}  // namespace velmora::network::component
