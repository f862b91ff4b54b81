#include "httpclient/transport/SocketEngine.h"

#include <chrono>
#include <cstdio>

#include "httpclient/transport/ComponentErrors.h"

namespace velmora::network::component {

namespace {

// Process-wide start-up state.
HINSTANCE g_module = nullptr;
// Until the engine starts Winsock, the status is "not initialised".
int g_winsockStatus = 10093;
uint16_t g_winsockVersion = 0;

struct WinsockText {
  int code;
  const char* text;
};

const WinsockText kWinsockTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Access denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Net dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empt"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc Quota Exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "WINSOCK DLL Version out of range"},
    {10093, "Winsock not loaded yet (WSANOTINITIALISED)"},
    {11001, "Host not found"},
    {11002, "Non-authoritative 'Host not found' (try again or check DNS setup)"},
    {11003, "Non-recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record (check DNS setup)"},
};

const char* kQosNames[] = {"BestEffort", "Background", "ExcellentEffort",
                           "AudioVideo", "Voice",      "Control"};

}  // namespace

SocketEngine::SocketEngine() {
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
  t.addQuery("SocketHandle", [this] { return std::string(socketExists_ ? "0" : "-1"); });
  t.add({{"InBufferSize"}, [this] { return std::to_string(inBufferSize_); },
         [this](const std::string& v) { return setInBufferSize(configInt32(v)); }});
  t.add({{"OutBufferSize"}, [this] { return std::to_string(outBufferSize_); },
         [this](const std::string& v) { return setOutBufferSize(configInt32(v)); }});
  t.add({{"TcpNoDelay"}, [this] { return std::string(configBoolText(tcpNoDelay_)); },
         [this](const std::string& v) { return setTcpNoDelay(configBool(v)); }});
  t.add({{"TCPKeepAlive"}, [this] { return std::string(configBoolText(tcpKeepAlive_)); },
         [this](const std::string& v) { return setTcpKeepAlive(configBool(v)); }});
  t.add({{"KeepAliveTime"}, [this] { return std::to_string(keepAliveTime_); },
         [this](const std::string& v) { return setKeepAliveTime(configInt32(v)); }});
  t.add({{"KeepAliveInterval"}, [this] { return std::to_string(keepAliveInterval_); },
         [this](const std::string& v) { return setKeepAliveInterval(configInt32(v)); }});
  t.add({{"Linger"}, [this] { return std::string(configBoolText(linger_)); },
         [this](const std::string& v) { return setLinger(configBool(v)); }});
  t.add({{"LingerTime"}, [this] { return std::to_string(lingerTime_); },
         [this](const std::string& v) { return setLingerTime(configInt32(v)); }});
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
  t.add({{"SplitCRLF"}, [this] { return std::string(configBoolText(splitCrlf_)); },
         [this](const std::string& v) { return setSplitCrlf(configBool(v)); }});
  t.add({{"MaxLineLength"}, [this] { return std::to_string(maxLineLength()); },
         [this](const std::string& v) { return setMaxLineLength(configInt32(v)); }});
  t.addText("RecordToFile", recordToFile_);
}

SocketEngine::~SocketEngine() = default;

// --- process-wide --------------------------------------------------------------

int SocketEngine::startup(HINSTANCE module) {
  g_module = module;
  return 0;
}

void SocketEngine::shutdown() { g_module = nullptr; }

HINSTANCE SocketEngine::moduleInstance() { return g_module; }

int SocketEngine::winsockStatus() { return g_winsockStatus; }

std::string SocketEngine::winsockVersionText() {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%d.%d", g_winsockVersion & 0xFF, g_winsockVersion >> 8);
  return buf;
}

// --- error state -----------------------------------------------------------------

void SocketEngine::clearError() {
  lastErrorCode_ = 0;
  lastErrorText_.clear();
}

int SocketEngine::setError(int code, const std::string& text) {
  lastErrorCode_ = code;
  lastErrorText_ = text;
  return code;
}

int SocketEngine::setErrorCode(int code) {
  lastErrorCode_ = code;
  return code;
}

void SocketEngine::completeError(int code) {
  lastErrorCode_ = code;
  if (code == kErrOutOfMemory) {
    lastErrorText_ = kTextOutOfMemory;
  } else if (code == kErrTimeout) {
    if (lastErrorText_.empty()) lastErrorText_ = kTextInterrupted;
  } else if (code != 0 && lastErrorText_.empty()) {
    lastErrorText_ = winsockErrorText(code);
  }
}

std::string SocketEngine::winsockErrorText(int code) {
  std::string text = "[" + std::to_string(code) + "] ";
  for (const WinsockText& w : kWinsockTexts) {
    if (w.code == code) return text + w.text;
  }
  return text + "(no description available)";
}

int SocketEngine::notBuilt(const char* part, const char* operation) {
  return setError(kErrNotBuilt,
                  std::string(part) + " is not built yet: " + operation + " is not available.");
}

bool SocketEngine::runSetting(const SettingTable& table, const ConfigRequest& req,
                              std::string& answer, int& code) {
  std::string errorText;
  if (!table.handle(req, answer, code, errorText)) return false;
  if (!errorText.empty()) setError(code, errorText);
  return true;
}

// --- addresses ---------------------------------------------------------------------

int SocketEngine::setRemoteHost(const std::string& host) {
  clearError();
  if (socketExists_) {
    return setError(101,
                    "You cannot change the RemoteHost at this time. A connection is in progress.");
  }
  remoteHost_ = host;
  if (host.empty()) return 0;
  return notBuilt(kPartSocketEngine, "name resolution");
}

int SocketEngine::setRemotePort(uint16_t port) {
  clearError();
  if (socketExists_) {
    return setError(100,
                    "You cannot change the RemotePort at this time. A connection is in progress.");
  }
  remotePort_ = port;
  return 0;
}

int SocketEngine::getLocalHost(std::string& out) {
  clearError();
  out.clear();
  return notBuilt(kPartSocketEngine, "LocalHost lookup");
}

int SocketEngine::setLocalHost(const std::string& host) {
  clearError();
  localHostText_.clear();
  if (host.empty()) return 0;
  return notBuilt(kPartSocketEngine, "LocalHost resolution");
}

// --- connection ----------------------------------------------------------------------

int SocketEngine::connect() {
  clearError();
  return notBuilt(kPartSocketEngine, "connect");
}

int SocketEngine::connectBlocking() {
  clearError();
  interruptRequested_ = false;
  if (connected_) return 0;
  return connect();
}

int SocketEngine::close(uint32_t /*code*/) {
  clearError();
  // Without a socket there is nothing to close: only the state is reset.
  if (!socketExists_) {
    cleanupSocket();
    return 0;
  }
  return notBuilt(kPartSocketEngine, "close");
}

void SocketEngine::cleanupSocket() {
  socketExists_ = false;
  connected_ = false;
  connecting_ = false;
  receiving_ = false;
  acceptData_ = true;
}

// --- waiting ---------------------------------------------------------------------------

bool SocketEngine::waitStep(uint32_t /*waitMillis*/) {
  if (interruptRequested_) {
    interruptRequested_ = false;
    interrupted_ = true;
    setError(kErrTimeout, kTextInterrupted);
    return false;
  }
  notBuilt(kPartSocketEngine, "the wait step");
  return false;
}

int SocketEngine::processPendingEvents() {
  clearError();
  return notBuilt(kPartSocketEngine, "DoEvents");
}

uint32_t SocketEngine::tickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
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
  uint32_t d = tickCount() + static_cast<uint32_t>(timeoutMillis_);
  deadline_ = d == 0 ? 1 : d;
}

bool SocketEngine::deadlinePassed() const {
  if (deadline_ == 0) return false;
  // Compared across the tick counter's wrap.
  return static_cast<int32_t>(tickCount() - deadline_) > 0;
}

// --- receive and send paths ---------------------------------------------------------

int SocketEngine::setEol(const std::string& marker) {
  eol_ = marker;
  return 0;
}

int SocketEngine::setAcceptData(bool accept) {
  acceptData_ = accept;
  if (socketExists_) return notBuilt(kPartSocketEngine, "AcceptData on a socket");
  return 0;
}

int SocketEngine::setSplitCrlf(bool on) {
  splitCrlf_ = on;
  return 0;
}

int SocketEngine::sendOnce(const char* /*data*/, int /*length*/, bool /*throughTunnel*/) {
  return notBuilt(kPartSocketEngine, "send");
}

int SocketEngine::sendBlocking(const char* /*data*/, int /*length*/, bool /*reportProgress*/,
                               bool /*notifyHttp*/) {
  return notBuilt(kPartSocketEngine, "send");
}

// --- socket options: stored now, applied at connect by the network part -------------

int SocketEngine::setInBufferSize(int32_t bytes) {
  inBufferSize_ = bytes;
  return 0;
}

int SocketEngine::setOutBufferSize(int32_t bytes) {
  outBufferSize_ = bytes;
  return 0;
}

int SocketEngine::setTcpNoDelay(bool on) {
  tcpNoDelay_ = on;
  return 0;
}

int SocketEngine::setTcpKeepAlive(bool on) {
  tcpKeepAlive_ = on;
  return 0;
}

// Setting either time turns keep-alive on when one of the two is above 0 or
// it is on already, and off otherwise.
int SocketEngine::setKeepAliveTime(int32_t millis) {
  keepAliveTime_ = millis;
  tcpKeepAlive_ = keepAliveTime_ > 0 || keepAliveInterval_ > 0 || tcpKeepAlive_;
  return 0;
}

int SocketEngine::setKeepAliveInterval(int32_t millis) {
  keepAliveInterval_ = millis;
  tcpKeepAlive_ = keepAliveTime_ > 0 || keepAliveInterval_ > 0 || tcpKeepAlive_;
  return 0;
}

int SocketEngine::setLinger(bool on) {
  linger_ = on;
  return 0;
}

int SocketEngine::setLingerTime(int32_t seconds) {
  lingerTime_ = seconds;
  return 0;
}

// --- shared virtual operations ------------------------------------------------------

LRESULT SocketEngine::handleMessage(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) {
  return 0;
}

bool SocketEngine::configSetting(const ConfigRequest& req, std::string& answer, int& code) {
  return runSetting(settings_, req, answer, code);
}

void* SocketEngine::securityContext() { return nullptr; }

int SocketEngine::setMaxLineLength(int32_t length) {
  if (socketExists_) {
    return setError(112,
                    "You cannot change MaxLineLength at this time. A connection is in progress.");
  }
  if (length > 65536) length = 65536;
  if (length < 1) length = 1;
  lineCapacity_ = length;
  return 0;
}

int32_t SocketEngine::maxLineLength() const { return lineCapacity_; }

int SocketEngine::receive(ReceiveMode /*mode*/) {
  return notBuilt(kPartSocketEngine, "the receive handler");
}

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

void SocketEngine::reportConnectionStatus(const std::string& event, int code) {
  fireConnectionStatus(event, code, code == 0 ? std::string("OK") : lastErrorText_);
}

void SocketEngine::reportConnected(int code) {
  std::string text = code == 0 ? std::string("OK")
                               : (lastErrorText_.empty() ? winsockErrorText(code) : lastErrorText_);
  fireConnected(code, text);
}

int SocketEngine::reportDataIn(const char* data, int length, bool endOfLine) {
  return fireDataIn(data, length, endOfLine);
}

void SocketEngine::reportDisconnected(int code) {
  std::string text = code == 0 ? std::string("OK")
                               : (lastErrorText_.empty() ? winsockErrorText(code) : lastErrorText_);
  fireDisconnected(code, text);
}

}  // namespace velmora::network::component
