#include "httpclient/transport/SocketEngine.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/StateTrace.h"
#include "httpclient/transport/WinsockText.h"
#include "platform/modules.h"
#include "platform/text.h"
#include "platform/winsock.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

// Process-wide start-up state.
HINSTANCE g_module = nullptr;
// Until the engine starts Winsock, the status is "not initialised".
int g_winsockStatus = WSANOTINITIALISED;
uint16_t g_winsockVersion = 0;
bool g_classRegistered = false;
HMODULE g_ws2 = nullptr;

// The network events the engine asks for: read, write, connect and close.
constexpr LONG kEventMask = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

const char* kQosNames[] = {"BestEffort", "Background", "ExcellentEffort",
                           "AudioVideo", "Voice",      "Control"};

}  // namespace

SocketEngine::SocketEngine() : socket_(INVALID_SOCKET) {
  // The hidden window; the engine sits in its first pointer-sized word.
  window_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, g_module,
                            nullptr);
  if (window_ != nullptr) SetWindowLongPtrA(window_, 0, reinterpret_cast<LONG_PTR>(this));
  SettingTable& t = settings_;
  t.addInt32("SelectWaitMillis", selectWaitMillis_);
  t.addBool("AbsoluteTimeout", absoluteTimeout_);
  // Switching the unit keeps the number Timeout reads, now in the new unit.
  t.add({{"TimeoutInMilliseconds"},
         [this] { return std::string(configBoolText(timeoutInMilliseconds_)); },
         [this](const std::string& v) {
           int32_t number = timeout();
           timeoutInMilliseconds_ = configBool(v);
           setTimeout(number);
           return kOk;
         }});
  t.addQuery("WinsockStatus", [] { return std::to_string(winsockStatus()); });
  t.addQuery("WinsockVersion", [] { return winsockVersionText(); });
  t.addBool("IgnoreExternalEvents", ignoreExternalEvents_);
  t.addBool("UseIPv6", useIPv6_);
  t.addBool("BindIPv6Address", bindIPv6Address_);
  // No socket: INVALID_SOCKET, reported as -1.
  t.addQuery("SocketHandle", [this] { return std::to_string(socketHandle()); });
  options_.addSettings(t);
  t.add({{"QOSTrafficType"}, [this] { return std::to_string(qosTrafficType_); },
         [this](const std::string& v) {
           for (int i = 0; i < 6; ++i) {
             if (equalsNoCase(v, kQosNames[i])) {
               qosTrafficType_ = i;
               return kOk;
             }
           }
           qosTrafficType_ = configInt32(v);
           return kOk;
         }});
  t.addInt32("QOSDSCPValue", qosDscpValue_);
  // Receive and send paths.
  t.addInt64("MaxTransferRate", maxTransferRate_);
  t.addBool("SplitCRLF", [this] { return splitCrlf(); }, [this](bool v) { return setSplitCrlf(v); });
  t.addInt32("MaxLineLength", [this] { return maxLineLength(); },
             [this](int32_t v) { return setMaxLineLength(v); });
  t.addText("RecordToFile", transcript_.path());
}

SocketEngine::~SocketEngine() {
  if (WSAIsBlocking()) WSACancelBlockingCall();
  if (socket_ != INVALID_SOCKET) {
    WSAAsyncSelect(socket_, window_, 0, 0);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
  transcript_.close();
  if (window_ != nullptr) {
    // The window forgets the engine first, so that its last messages go to
    // the default procedure.
    SetWindowLongPtrA(window_, 0, 0);
    DestroyWindow(window_);
    window_ = nullptr;
  }
}

// --- process-wide --------------------------------------------------------------

int SocketEngine::startup(HINSTANCE module) {
  g_module = module;
  WNDCLASSA wc{};
  wc.style = CS_GLOBALCLASS;
  wc.lpfnWndProc = &SocketEngine::windowProc;
  wc.cbWndExtra = 12;
  wc.hInstance = module;
  wc.lpszClassName = kWindowClass;
  if (RegisterClassA(&wc) != 0) g_classRegistered = true;

  g_ws2 = LoadLibraryA("ws2_32.dll");
  loadAddressFunctions(g_ws2);
  WSADATA data{};
  g_winsockStatus = WSAStartup(MAKEWORD(2, 2), &data);
  g_winsockVersion = g_winsockStatus == 0 ? data.wVersion : 0;
  return 0;
}

void SocketEngine::shutdown() {
  if (WSAIsBlocking()) WSACancelBlockingCall();
  if (g_winsockStatus == 0) WSACleanup();
  g_winsockStatus = WSANOTINITIALISED;
  g_winsockVersion = 0;
  if (g_classRegistered && UnregisterClassA(kWindowClass, g_module)) g_classRegistered = false;
  loadAddressFunctions(nullptr);
  if (g_ws2 != nullptr) FreeLibrary(g_ws2);
  g_ws2 = nullptr;
  g_module = nullptr;
}

HINSTANCE SocketEngine::moduleInstance() { return g_module; }

int SocketEngine::winsockStatus() { return g_winsockStatus; }

std::string SocketEngine::winsockVersionText() {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%d.%d", g_winsockVersion & 0xFF, g_winsockVersion >> 8);
  return buf;
}

// The hidden window's procedure: messages go to the engine stored in the
// window when the engine still owns this window.
LRESULT SocketEngine::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* engine = reinterpret_cast<SocketEngine*>(GetWindowLongPtrA(hwnd, 0));
  if (engine != nullptr && engine->window_ == hwnd) {
    return engine->handleMessage(message, wParam, lParam);
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// --- error state -----------------------------------------------------------------

void SocketEngine::clearError() {
  lastErrorCode_ = 0;
  lastErrorText_.clear();
  errorSet_ = false;
}

int SocketEngine::setError(int code, const std::string& text) {
  if (errorSet_) return code;
  errorSet_ = true;
  lastErrorCode_ = code;
  lastErrorText_ = text;
  return code;
}

void SocketEngine::completeError(int code) {
  lastErrorCode_ = code;
  errorSet_ = false;
  if (code == kErrOutOfMemory) {
    lastErrorText_ = kTextOutOfMemory;
  } else if (code == kErrTimeout) {
    if (lastErrorText_.empty()) lastErrorText_ = kTextInterrupted;
  } else if (code != 0 && lastErrorText_.empty()) {
    lastErrorText_ = winsockErrorText(code);
  }
}

bool SocketEngine::runSetting(const SettingTable& table, const ConfigRequest& req,
                              std::string& answer, int& code) {
  std::string errorText;
  if (!table.handle(req, answer, code, errorText)) return false;
  if (!errorText.empty()) setError(code, errorText);
  return true;
}

int SocketEngine::setLineCapacity(LineBuffer& buffer, int32_t length, int32_t limit) {
  clearError();
  if (socketExists()) return setError(kErrMaxLineLengthBusy, kTextMaxLineLengthBusy);
  buffer.setCapacity(length, limit);
  return 0;
}

// --- addresses ---------------------------------------------------------------------

int SocketEngine::setRemoteHost(const std::string& host) {
  clearError();
  if (socketExists()) {
    return setError(kErrRemoteHostBusy,
                    "You cannot change the RemoteHost at this time. A connection is in progress.");
  }
  remoteHost_ = host;
  return remote_.resolve(host, useIPv6_, SOCK_STREAM);
}

std::string SocketEngine::remoteAddressText() const {
  if (useIPv6_) return remote_.address6Text;
  return remote_.address4 == 0 ? std::string() : dottedText(remote_.address4);
}

int SocketEngine::setRemotePort(uint16_t port) {
  clearError();
  if (socketExists()) {
    return setError(kErrRemotePortBusy,
                    "You cannot change the RemotePort at this time. A connection is in progress.");
  }
  remotePort_ = port;
  return 0;
}

int SocketEngine::getLocalHost(std::string& out) {
  clearError();
  out.clear();
  if (isConnected()) {
    sockaddr_in6 name{};
    int length = sizeof(name);
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&name), &length) != 0) {
      int err = WSAGetLastError();
      return setError(err, winsockErrorText(err));
    }
    if (name.sin6_family == AF_INET6) {
      out = numericText(&name);
    } else {
      out = dottedText(reinterpret_cast<const sockaddr_in*>(&name)->sin_addr.s_addr);
    }
    return 0;
  }
  if (useIPv6_ && !local_.address6Text.empty()) {
    out = local_.address6Text;
    return 0;
  }
  if (!useIPv6_ && local_.address4 != 0) {
    out = dottedText(local_.address4);
    return 0;
  }
  char name[101] = {0};
  if (gethostname(name, 100) != 0) {
    int err = WSAGetLastError();
    return setError(err, winsockErrorText(err));
  }
  out = name;
  return 0;
}

int SocketEngine::setLocalHost(const std::string& host) {
  clearError();
  return local_.resolve(host, useIPv6_, 0);
}

// --- connection ----------------------------------------------------------------------

bool SocketEngine::socketExists() const { return socket_ != INVALID_SOCKET; }

int64_t SocketEngine::socketHandle() const {
  return socket_ == INVALID_SOCKET ? -1 : static_cast<int64_t>(socket_);
}

int SocketEngine::connect() {
  clearError();
  pendingCloseCode_ = 0;
  if (socketExists()) return setError(kErrAlreadyConnected, kTextAlreadyConnected);
  setReceiveState(ReceiveState::Idle);
  bytesAccepted_ = 0;
  uint32_t address = remote_.address4;
  uint16_t port = remotePort_;
  bool tunnel = tunnelTarget(address, port);
  // A tunnel's intermediary is reached over IPv4 whatever UseIPv6 says.
  const bool ipv6 = useIPv6_ && !tunnel;
  if (!ipv6 && address == 0) {
    return setError(kErrZeroAddress, tunnel ? "The FirewallHost address is invalid (0.0.0.0)."
                                            : "The RemoteHost address is invalid (0.0.0.0).");
  }
  if (port == 0) {
    return setError(kErrZeroPort, tunnel ? "The FirewallPort is invalid (0)."
                                         : "RemotePort can't be zero. Please specify a valid "
                                           "service port number.");
  }
  setConnectionState(ConnectionState::Idle);
  SOCKET s = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return setError(WSAGetLastError());
  socket_ = s;

  // IPv4 always binds (0 = any address); IPv6 only with BindIPv6Address.
  int rc = 0;
  SocketAddress sa;
  if (!ipv6 || bindIPv6Address_) {
    int size = local_.socketAddress(ipv6, local_.address4, 0, sa);
    rc = ::bind(s, reinterpret_cast<const sockaddr*>(&sa), size);
  }
  if (rc != 0) {
    int err = WSAGetLastError();
    cleanupSocket();
    return setError(err);
  }

  // Option failures at connect are not errors of the connect.
  options_.applyAtConnect();

  if (WSAAsyncSelect(s, window_, kSocketMessage, kEventMask) != 0) {
    int err = WSAGetLastError();
    cleanupSocket();
    return setError(err);
  }

  setConnectionState(ConnectionState::Connecting);
  int size = remote_.socketAddress(ipv6, address, port, sa);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), size) == 0) return 0;
  int err = WSAGetLastError();
  if (err == WSAEWOULDBLOCK) return 0;
  setConnectionState(ConnectionState::Idle);
  cleanupSocket();
  return setError(err);
}

int SocketEngine::connectBlocking() {
  clearError();
  interruptRequested_ = false;
  if (isConnected()) return 0;
  holdReceivedData(true);
  connectOutcome_ = -1;
  connectOutcomeText_.clear();
  int rc = connect();
  if (rc != 0) {
    acceptData_ = true;
    return rc;
  }
  while (connectOutcome_ < 0) {
    if (!waitStep()) {
      // The wait step's "Timeout." or "Interrupted." stays the error.
      close(0);
      acceptData_ = true;
      return kErrTimeout;
    }
  }
  if (connectOutcome_ != 0) {
    acceptData_ = true;
    return setError(connectOutcome_, connectOutcomeText_);
  }
  holdReceivedData(false);
  return 0;
}

// A close records only its own failure: an error the caller has (such as the
// "Timeout." that made it close) stays.
int SocketEngine::close(uint32_t code) {
  if (!socketExists()) {
    cleanupSocket();
    return 0;
  }
  WSAAsyncSelect(socket_, window_, 0, 0);
  if (receiving_ != ReceiveState::Idle) {
    pendingCloseCode_ = code;
    setReceiveState(ReceiveState::ClosePending);
    return 0;
  }
  if (acceptData_ || tunnelNegotiating()) {
    // The drain pass counts as receiving, so a close requested from inside
    // it is deferred like one from a read event.
    setReceiveState(ReceiveState::Receiving);
    receive(ReceiveMode::Drain);
    setReceiveState(ReceiveState::Idle);
  }
  if (isConnected()) {
    setConnectionState(ConnectionState::Closing);
    onDisconnect(static_cast<int>(code >> 16));
    transcript_.close();
  }
  int rc = 0;
  if (socket_ != INVALID_SOCKET) {
    if (lines_.ahead() > 0) {
      // Bytes the peer sent are unread: the system resets such a connection
      // at close, and so it is reset here too.
      linger l{};
      l.l_onoff = 1;
      l.l_linger = 0;
      SocketOptions::set(socket_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    }
    if (closesocket(socket_) != 0) rc = WSAGetLastError();
    socket_ = INVALID_SOCKET;
  }
  cleanupSocket();
  return rc != 0 ? setError(rc) : 0;
}

int SocketEngine::performPendingClose() {
  setReceiveState(ReceiveState::Idle);
  uint32_t code = pendingCloseCode_;
  pendingCloseCode_ = 0;
  return SocketEngine::close(code);
}

void SocketEngine::cleanupSocket() {
  if (socket_ != INVALID_SOCKET) {
    WSAAsyncSelect(socket_, window_, 0, 0);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
  setConnectionState(ConnectionState::Idle);
  setReceiveState(ReceiveState::Idle);
  bytesAccepted_ = 0;
  acceptData_ = true;
  lines_.clear();
  deferredClose_.reset();
  transcript_.close();
}

namespace {

const char* stateName(ConnectionState s) {
  static const char* const names[] = {"Idle", "Connecting", "Connected", "Closing"};
  return names[static_cast<int>(s)];
}

const char* stateName(ReceiveState s) {
  static const char* const names[] = {"Idle", "Receiving", "ClosePending"};
  return names[static_cast<int>(s)];
}

}  // namespace

void SocketEngine::setConnectionState(ConnectionState next) {
  changeState(connection_, next, "socket engine connection", stateName);
}

void SocketEngine::setReceiveState(ReceiveState next) {
  changeState(receiving_, next, "socket engine receive handler", stateName);
}

// --- network events --------------------------------------------------------------------

LRESULT SocketEngine::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSocketMessage && socket_ != INVALID_SOCKET &&
      static_cast<SOCKET>(wParam) == socket_) {
    networkEvent(WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam), lParam);
    return 0;
  }
  if (message == kRunEventMessage) {
    if (!absoluteTimeout_) armDeadline();
    return runWindowEvent(wParam, lParam);
  }
  if (ignoreExternalEvents_ && !dispatching_) return 0;
  return DefWindowProcA(window_, message, wParam, lParam);
}

void SocketEngine::networkEvent(int event, int error, LPARAM lParam) {
  switch (event) {
    case FD_CONNECT: {
      BOOL on = TRUE;
      SocketOptions::set(socket_, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
      if (error != 0) {
        setConnectionState(ConnectionState::Idle);
        onConnect(error);
        cleanupSocket();
      } else {
        setConnectionState(ConnectionState::Connected);
        transcript_.open();
        onConnect(0);
      }
      break;
    }
    case FD_READ:
      if (!acceptData_ && !tunnelNegotiating()) break;
      if (receiving_ != ReceiveState::Idle) break;
      setReceiveState(ReceiveState::Receiving);
      receive(ReceiveMode::Event);
      // A close asked for by a handler that stopped the reading is still due.
      if (receiving_ == ReceiveState::ClosePending && socket_ != INVALID_SOCKET) {
        performPendingClose();
      } else {
        setReceiveState(ReceiveState::Idle);
      }
      break;
    case FD_WRITE:
      onReadyToSend();
      break;
    case FD_CLOSE:
      if (connection_ == ConnectionState::Connecting) {
        receive(ReceiveMode::Event);
      } else if (lines_.ahead() > 0) {
        // Bytes before the end of the stream are still in the read-ahead;
        // the end is reported once they have been taken.
        deferredClose_ = lParam;
      } else {
        // The socket's own close, not a layer's override: the TLS layer
        // learns of the end through its disconnect notification, with its
        // handshake or connection state still as it was.
        SocketEngine::close(static_cast<uint32_t>(lParam));
      }
      break;
    default:
      break;
  }
}

// --- waiting ---------------------------------------------------------------------------

bool SocketEngine::waitStep(uint32_t waitMillis) {
  if (interruptRequested_) {
    interruptRequested_ = false;
    interrupted_ = true;
    setError(kErrTimeout, kTextInterrupted);
    return false;
  }
  MSG msg;
  if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The caller's own loop must see the quit too.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    dispatch(msg);
    if (msg.message == WM_CLOSE || !IsWindow(window_)) return false;
  } else if (waitMillis != 0) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMillis, QS_ALLINPUT);
  }
  if (interruptRequested_) {
    interruptRequested_ = false;
    interrupted_ = true;
    setError(kErrTimeout, kTextInterrupted);
    return false;
  }
  if (deadlinePassed()) {
    setError(kErrTimeout, kTextTimeout);
    return false;
  }
  return IsWindow(window_) != FALSE;
}

// Runs the messages already queued (and the socket events found without
// waiting), a bounded number so that a flood cannot hold the caller.
int SocketEngine::runPendingEvents() {
  MSG msg;
  int ran = 0;
  for (; ran < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++ran) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    dispatch(msg);
  }
  return ran;
}

void SocketEngine::dispatch(MSG& msg) {
  dispatching_ = true;
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
  dispatching_ = false;
}

uint32_t SocketEngine::tickCount() { return GetTickCount(); }

int64_t SocketEngine::systemMillis() const {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / 10000);
}

void SocketEngine::setTimeout(int32_t value) {
  int64_t ms = timeoutInMilliseconds_ ? value : static_cast<int64_t>(value) * 1000;
  if (ms > INT32_MAX) ms = INT32_MAX;
  if (ms < INT32_MIN) ms = INT32_MIN;
  timeoutMillis_ = static_cast<int32_t>(ms);
  deadline_ = 0;
}

int32_t SocketEngine::timeout() const {
  return timeoutInMilliseconds_ ? timeoutMillis_ : timeoutMillis_ / 1000;
}

void SocketEngine::armDeadline() {
  if (timeoutMillis_ == 0) {
    deadline_ = 0;
    return;
  }
  // A negative timeout starts operations without waiting for them; its
  // deadline is its magnitude, so that a wait that happens still ends.
  uint32_t span = static_cast<uint32_t>(timeoutMillis_ < 0 ? -static_cast<int64_t>(timeoutMillis_)
                                                           : timeoutMillis_);
  uint32_t d = tickCount() + span;
  deadline_ = d == 0 ? 1 : d;
}

bool SocketEngine::deadlinePassed() const {
  if (deadline_ == 0) return false;
  // The difference taken as signed stays right across the counter's wrap.
  return static_cast<int32_t>(tickCount() - deadline_) > 0;
}

// --- receive path ---------------------------------------------------------------------

int SocketEngine::setEol(const std::string& marker) {
  lines_.setEol(marker);
  // Bytes already buffered are split again with the new marker.
  if (isConnected()) PostMessageA(window_, kSocketMessage, socket_, WSAMAKESELECTREPLY(FD_READ, 0));
  return 0;
}

int SocketEngine::setAcceptData(bool accept) {
  acceptData_ = accept;
  if (isConnected()) {
    if (accept) PostMessageA(window_, kSocketMessage, socket_, WSAMAKESELECTREPLY(FD_READ, 0));
  } else if (socketExists() && timeoutMillis_ >= 0) {
    receive(ReceiveMode::Resume);
  }
  return 0;
}

int SocketEngine::setSplitCrlf(bool on) {
  lines_.setSplitCrlf(on);
  return 0;
}

int SocketEngine::setMaxLineLength(int32_t length) {
  return setLineCapacity(lines_, length, LineBuffer::kMaxCapacity);
}

int32_t SocketEngine::maxLineLength() const { return lines_.capacity(); }

bool SocketEngine::receiveStops(ReceiveMode mode) const {
  if (socket_ == INVALID_SOCKET && mode != ReceiveMode::Flush) return true;
  if (!acceptData_ && !tunnelNegotiating()) return true;
  return interruptRequested_;
}

int SocketEngine::handOn(const char* data, size_t length, bool endOfLine) {
  if (!absoluteTimeout_) armDeadline();
  return onRawDataIn(data, static_cast<int>(length), endOfLine);
}

int SocketEngine::handOnBuffered(ReceiveMode mode, bool all, bool& stopped) {
  // The last hand-on of a drain pass gives every line, whatever the handlers do.
  const bool drainAll = all && mode == ReceiveMode::Drain;
  stopped = false;
  LineBuffer::Piece piece;
  while (lines_.next(piece, all && (acceptData_ || tunnelNegotiating()))) {
    if (int rc = handOn(piece.data, piece.length, piece.endOfLine)) return rc;
    stopped = !drainAll && receiveStops(mode);
    if (stopped) return 0;
  }
  return 0;
}

int SocketEngine::receiveBytes(char* into, size_t room, ReceiveMode mode) {
  if (lines_.ahead() == 0) {
    // Only a read event, which reads until the socket would block, reads
    // ahead; the other passes take exactly what they ask for, and a tunnel
    // reply is never read beyond.
    char* ahead = mode == ReceiveMode::Event && !tunnelNegotiating() ? lines_.aheadSpace() : nullptr;
    if (ahead == nullptr) return ::recv(socket_, into, static_cast<int>(room), 0);
    int n = ::recv(socket_, ahead, static_cast<int>(LineBuffer::kReadAheadBytes), 0);
    if (n <= 0) return n;
    lines_.aheadFilled(static_cast<size_t>(n));
  }
  const size_t taken = lines_.takeAhead(into, room);
  if (lines_.ahead() == 0 && deferredClose_) {
    // Now that the bytes before it are taken, the end of the stream is due.
    const LPARAM closeEvent = *deferredClose_;
    deferredClose_.reset();
    PostMessageA(window_, kSocketMessage, socket_, closeEvent);
  }
  return static_cast<int>(taken);
}

void SocketEngine::putBack(const char* data, size_t length) {
  // While a tunnel negotiates nothing is read ahead, so the staging space
  // is free; a reply block never exceeds it.
  char* ahead = lines_.aheadSpace();
  if (ahead == nullptr || length == 0 || length > LineBuffer::kReadAheadBytes) return;
  std::memcpy(ahead, data, length);
  lines_.aheadFilled(length);
  if (socketExists()) PostMessageA(window_, kSocketMessage, socket_, WSAMAKESELECTREPLY(FD_READ, 0));
}

int SocketEngine::receive(ReceiveMode mode) {
  const int rc = receiveLoop(mode);
  // Read-ahead bytes still waiting after a take announce themselves once, as
  // bytes left in the socket after a recv do (a drain pass is followed by the
  // close, which drops them).
  if (mode != ReceiveMode::Drain && socket_ != INVALID_SOCKET && lines_.takeAheadNotice()) {
    PostMessageA(window_, kSocketMessage, socket_, WSAMAKESELECTREPLY(FD_READ, 0));
  }
  return rc;
}

int SocketEngine::receiveLoop(ReceiveMode mode) {
  for (;;) {
    if (receiveStops(mode)) return 0;
    // Complete lines first; without a marker everything buffered goes on.
    bool stopped = false;
    if (int rc = handOnBuffered(mode, false, stopped)) return rc;
    if (stopped || mode == ReceiveMode::Flush) return 0;

    size_t room = 0;
    char* into = lines_.space(room);
    if (room == 0) {
      // A full buffer without a line end: the piece goes on as it is.
      const LineBuffer::Piece piece = lines_.takeAll();
      if (int rc = handOn(piece.data, piece.length, false)) return rc;
      continue;
    }
    if (receiving_ == ReceiveState::ClosePending && mode == ReceiveMode::Event) {
      return performPendingClose();
    }

    const int n = receiveBytes(into, room, mode);
    if (n < 0) {
      int err = WSAGetLastError();
      if (err == WSAEWOULDBLOCK || err == WSAENOTSOCK || err == WSAECONNABORTED ||
          err == WSAECONNRESET) {
        return err;
      }
      char text[64];
      std::snprintf(text, sizeof(text), "socket error in recv: %d", err);
      onError(err, text);
      return err;
    }
    if (n > 0) {
      if (recordsSocketBytes()) record(into, static_cast<size_t>(n), true);
      if (tunnelNegotiating() && tunnelReadsRaw()) {
        // A reply block goes to the tunnel as it came; once the tunnel is
        // up, the next bytes take the ordinary path.
        if (int rc = handOn(into, static_cast<size_t>(n), false)) return rc;
        continue;
      }
      lines_.commit(static_cast<size_t>(n));
      if (mode == ReceiveMode::Event) continue;
    }

    // The peer closed its side, or one pass outside a read event.
    if (int rc = handOnBuffered(mode, true, stopped)) return rc;
    if (mode == ReceiveMode::Drain) return 0;
    if (n > 0) continue;
    const uint32_t code = pendingCloseCode_;
    setReceiveState(ReceiveState::Idle);
    if (mode != ReceiveMode::Event) return 0;
    pendingCloseCode_ = 0;
    return SocketEngine::close(code);
  }
}

// --- send path ----------------------------------------------------------------------------

int SocketEngine::sendOnce(const char* data, int length, bool throughTunnel) {
  if (!isConnected() || (throughTunnel && tunnelNegotiating())) {
    WSASetLastError(WSAENOTCONN);
    return WSAENOTCONN;
  }
  if (length <= 0) return 0;
  int n = ::send(socket_, data, length, 0);
  if (n < 0) {
    bytesAccepted_ = 0;
    return WSAGetLastError();
  }
  bytesAccepted_ = static_cast<uint32_t>(n);
  if (!absoluteTimeout_) armDeadline();
  if (recordsSocketBytes()) record(data, static_cast<size_t>(n), false);
  if (n < length) {
    WSASetLastError(WSAEWOULDBLOCK);
    return WSAEWOULDBLOCK;
  }
  return 0;
}

int64_t SocketEngine::transferRate(int64_t nowMillis) const {
  int64_t elapsed = nowMillis - rateWindowStart_;
  if (elapsed <= 0) return 0;
  return std::llround(static_cast<double>(rateCount_) / (static_cast<double>(elapsed) / 1000.0));
}

int SocketEngine::sendBlocking(const char* data, int length, bool reportProgress,
                               bool notifyHttp) {
  interruptRequested_ = false;
  if (length <= 0) return 0;
  if (notifyHttp) {
    int rc = sendStarting();
    if (rc != 0) return rc;
  }
  int64_t sent = 0;
  for (;;) {
    int64_t now = systemMillis();
    // A pause of a minute starts a new measuring window: no credit is kept.
    if (now - lastSendTime_ > 60000) {
      rateWindowStart_ = now;
      lastSendTime_ = now;
      rateCount_ = 0;
    }
    if (maxTransferRate_ > 0) {
      while (transferRate(now) > maxTransferRate_) {
        if (!waitStep()) return kErrTimeout;
        now = systemMillis();
      }
    }
    int rc = sendPiece(data + sent, static_cast<int>(length - sent));
    rateCount_ += bytesAccepted_;
    lastSendTime_ = systemMillis();
    if (rc == 0) return notifyHttp ? sendFinished() : 0;
    if (rc != WSAEWOULDBLOCK) return rc;
    sent += bytesAccepted_;
    if (!waitStep()) return kErrTimeout;
    if (reportProgress) {
      rc = sendProgress(sent);
      if (rc != 0) return rc;
    }
  }
}

// --- shared virtual operations ------------------------------------------------------

bool SocketEngine::configSetting(const ConfigRequest& req, std::string& answer, int& code) {
  return runSetting(settings_, req, answer, code);
}

void* SocketEngine::securityContext() { return nullptr; }

// --- notifications ----------------------------------------------------------------

void SocketEngine::connectNotification(int code) {
  reportConnectionStatus(code == 0 ? "Remote host connection complete."
                                   : "Remote host connection failed.",
                         code);
  reportConnected(code);
}

void SocketEngine::disconnectNotification(int code) {
  reportConnectionStatus("Remote host disconnected.", code);
  reportDisconnected(code);
}

void SocketEngine::onError(int code, const std::string& text) { fireError(code, text); }

void SocketEngine::onReadyToSend() { fireReadyToSend(); }

// "OK" for 0, else the last error text, or the Winsock text when none is set.
std::string SocketEngine::eventText(int code) const {
  if (code == 0) return "OK";
  return lastErrorText_.empty() ? winsockErrorText(code) : lastErrorText_;
}

void SocketEngine::reportConnectionStatus(const std::string& event, int code) {
  fireConnectionStatus(event, code, eventText(code));
}

void SocketEngine::reportConnected(int code) {
  std::string text = eventText(code);
  // The blocking connect waits for this outcome.
  connectOutcome_ = code;
  connectOutcomeText_ = code == 0 ? std::string() : text;
  fireConnected(code, text);
}

int SocketEngine::reportDataIn(const char* data, int length, bool endOfLine) {
  return fireDataIn(data, length, endOfLine);
}

void SocketEngine::reportDisconnected(int code) { fireDisconnected(code, eventText(code)); }

}  // namespace velmora::network::component
