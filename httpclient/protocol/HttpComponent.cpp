#include "httpclient/protocol/HttpComponent.h"

#include <cstring>

#include "httpclient/transport/ComponentErrors.h"
#include "platform/codepage.h"

namespace velmora::network::component {

namespace {

const std::string kEmptyText;
const char16_t kEmptyWide[1] = {0};

bool isCookieProperty(int id) { return id >= 9 && id <= 14; }
bool isHeaderProperty(int id) { return id == 30 || id == 31; }

}  // namespace

HttpComponent::HttpComponent(HttpEventCallback callback, void* user)
    : callback_(callback), user_(user) {
  settings_.addInt32("CodePage", codePage_);
  settings_.addInt32("CharsetMode", charsetMode_);  // stored only
}

HttpComponent::~HttpComponent() = default;

bool HttpComponent::configSetting(const ConfigRequest& req, std::string& answer, int& code) {
  if (HttpClient::configSetting(req, answer, code)) return true;
  return runSetting(settings_, req, answer, code);
}

// --- conversions ---------------------------------------------------------------------

bool HttpComponent::toWide(const std::string& in, std::u16string& out) const {
  out.clear();
  if (in.empty()) return true;
  int n = MultiByteToWideChar(static_cast<UINT>(codePage_), 0, in.data(),
                              static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(static_cast<UINT>(codePage_), 0, in.data(),
                             static_cast<int>(in.size()), out.data(), n) == n;
}

bool HttpComponent::fromWide(const char16_t* in, std::string& out) const {
  out.clear();
  if (in == nullptr || in[0] == 0) return true;
  int units = 0;
  while (in[units] != 0) ++units;
  int n = WideCharToMultiByte(static_cast<UINT>(codePage_), 0, in, units, nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return WideCharToMultiByte(static_cast<UINT>(codePage_), 0, in, units, out.data(), n, nullptr,
                             nullptr) == n;
}

int HttpComponent::codePageError() {
  return setError(87, "The code page " + std::to_string(codePage_) + " is not supported.");
}

// --- properties -------------------------------------------------------------------------

int HttpComponent::setProperty(int id, int index, const void* value, int length) {
  bool wide = id > kWideIdOffset && id <= kBytesIdOffset;
  bool rawBytes = id > kBytesIdOffset;
  int baseId = rawBytes ? id - kBytesIdOffset : (wide ? id - kWideIdOffset : id);
  const PropertyInfo* p = findProperty(baseId);
  if (p == nullptr) return kErrUnknown;
  if (p->readOnly) return setError(kErrUnknown, kTextReadOnlyProperty);

  int64_t number = 0;
  std::string text;
  switch (p->type) {
    case PropType::Integer:
    case PropType::Boolean:
      number = static_cast<int64_t>(reinterpret_cast<intptr_t>(value));
      break;
    case PropType::Long:
      number = value != nullptr ? *static_cast<const int64_t*>(value) : 0;
      break;
    case PropType::Text:
    case PropType::Binary:
      if (value == nullptr) break;
      if (wide) {
        if (!fromWide(static_cast<const char16_t*>(value), text)) return codePageError();
      } else if (rawBytes || p->type == PropType::Binary) {
        // A negative length means a zero-terminated text.
        if (length < 0) {
          text = static_cast<const char*>(value);
        } else {
          text.assign(static_cast<const char*>(value), static_cast<size_t>(length));
        }
      } else {
        text = static_cast<const char*>(value);
      }
      break;
  }
  return assign(*p, index, number, text);
}

int HttpComponent::assign(const PropertyInfo& p, int index, int64_t number,
                          const std::string& text) {
  if (p.indexed && !validIndex(p.id, index)) {
    return setError(kErrBadIndex, kTextBadCookieIndex);
  }
  HttpRequestFields& r = request();
  int32_t n32 = static_cast<int32_t>(number);
  bool flag = number != 0;
  switch (p.id) {
    case 1: r.accept = text; break;
    case 2: r.allowHttpCompression = flag; break;
    case 3: r.attachedFile = text; break;
    case 4: setAuthorization(text); break;
    case 5: setAuthScheme(n32); break;
    case 6: return setConnected(flag);
    case 7: r.contentType = text; break;
    case 8:
      if (number < 0) return setError(kErrBadIndex, kTextBadCookieIndex);
      cookies().resize(static_cast<size_t>(number));
      break;
    case 11: cookies().at(static_cast<size_t>(index)).name = text; break;
    case 14: cookies().at(static_cast<size_t>(index)).value = text; break;
    case 15: return tunnel().setAutoDetect(flag);
    case 16: tunnel().setType(n32); break;
    case 17: return tunnel().setHost(text);
    case 18: tunnel().setPassword(text); break;
    case 19: tunnel().setPort(n32); break;
    case 20: tunnel().setUser(text); break;
    case 21: r.followRedirects = n32; break;
    case 22: r.from = text; break;
    case 23: r.httpMethod = text; break;
    case 25: r.ifModifiedSince = text; break;
    case 26: r.localFile = text; break;
    case 27: return setLocalHost(text);
    case 28: r.otherHeaders = text; break;
    case 32: setPassword(text); break;
    case 33: r.postData = text; break;
    case 34: r.pragma = text; break;
    case 35: setProxyAuthScheme(n32); break;
    case 36: return setProxyAutoDetect(flag);
    case 37: proxyPassword() = text; break;
    case 38: r.proxyPort = n32; break;
    case 39: r.proxyServer = text; break;
    case 40: r.proxySsl = n32; break;
    case 41: proxyUser() = text; break;
    case 42: r.range = text; break;
    case 43: r.referer = text; break;
    case 44: return setAcceptServerCert(text);
    case 45: clientCert() = text; break;
    case 46: certStore() = text; break;
    case 47: certStorePassword() = text; break;
    case 48: certStoreType() = n32; break;
    case 49: certSubject() = text; break;
    case 52: setTimeout(n32); break;
    case 54: setTransferredDataLimit(number); break;
    case 56: return applyUrl(text);
    case 57: r.urlPath = text; break;
    case 58: setUrlPort(n32); break;
    case 59: setUrlScheme(text); break;
    case 60: setUrlServer(text); break;
    case 61: setUser(text); break;
    default: return kErrUnknown;
  }
  return kOk;
}

bool HttpComponent::validIndex(int id, int index) const {
  if (isCookieProperty(id)) return cookies().validIndex(index);
  if (isHeaderProperty(id)) {
    return index >= 0 && static_cast<size_t>(index) < response().headers.size();
  }
  return false;
}

int HttpComponent::checkIndex(int id, int index) const {
  int baseId = id > kBytesIdOffset ? id - kBytesIdOffset
                                   : (id > kWideIdOffset ? id - kWideIdOffset : id);
  const PropertyInfo* p = findProperty(baseId);
  if (p == nullptr || !p->indexed) return kErrIndexCheck;
  return validIndex(baseId, index) ? kOk : kErrIndexCheck;
}

void* HttpComponent::getProperty(int id, int index, int* length) {
  bool wide = id > kWideIdOffset && id <= kBytesIdOffset;
  int baseId = id > kBytesIdOffset ? id - kBytesIdOffset : (wide ? id - kWideIdOffset : id);
  const PropertyInfo* p = findProperty(baseId);
  if (p == nullptr) return nullptr;

  bool isText = p->type == PropType::Text || p->type == PropType::Binary;
  if (p->indexed && !validIndex(baseId, index)) {
    setError(kErrBadIndex, isCookieProperty(baseId) ? kTextBadCookieIndex : kTextBadHeaderIndex);
    if (length != nullptr) *length = 0;
    if (!isText) return nullptr;
    if (wide) return const_cast<char16_t*>(kEmptyWide);
    return const_cast<char*>(kEmptyText.c_str());
  }
  if (p->type == PropType::Long) {
    longResult_ = integerValue(baseId, index);
    return &longResult_;
  }
  if (!isText) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(integerValue(baseId, index)));
  }
  const std::string& s = textValue(baseId, index);
  if (wide) {
    std::u16string& buf = wideResults_[baseId];
    if (!toWide(s, buf)) {
      codePageError();
      buf.clear();
    }
    if (length != nullptr) *length = static_cast<int>(buf.size());
    return buf.data();
  }
  if (length != nullptr) *length = static_cast<int>(s.size());
  return const_cast<char*>(s.c_str());
}

int64_t HttpComponent::integerValue(int id, int index) {
  const HttpRequestFields& r = request();
  switch (id) {
    case 2: return r.allowHttpCompression ? 1 : 0;
    case 5: return authScheme();
    case 6: return isConnected() ? 1 : 0;
    case 8: return static_cast<int64_t>(cookies().count());
    case 13: return cookies().at(static_cast<size_t>(index)).secure;
    case 15: return tunnel().autoDetect() ? 1 : 0;
    case 16: return tunnel().type();
    case 19: return tunnel().port();
    case 21: return r.followRedirects;
    case 24: return busy() == TransferKind::None ? 1 : 0;
    case 29: return static_cast<int64_t>(response().headers.size());
    case 35: return proxyAuthScheme();
    case 36: return proxyAutoDetect() ? 1 : 0;
    case 38: return r.proxyPort;
    case 40: return r.proxySsl;
    case 48: return certStoreType();
    case 52: return timeout();
    case 54: return transferredDataLimit();
    case 58: return urlPort();
    default: return 0;
  }
}

const std::string& HttpComponent::textValue(int id, int index) {
  const HttpRequestFields& r = request();
  size_t i = static_cast<size_t>(index);
  switch (id) {
    case 1: return r.accept;
    case 3: return r.attachedFile;
    case 4: return authorization();
    case 7: return r.contentType;
    case 9: return cookies().at(i).domain;
    case 10: return cookies().at(i).expiration;
    case 11: return cookies().at(i).name;
    case 12: return cookies().at(i).path;
    case 14: return cookies().at(i).value;
    case 17: return tunnel().host();
    case 18: return tunnel().password();
    case 20: return tunnel().user();
    case 22: return r.from;
    case 23: return r.httpMethod;
    case 25: return r.ifModifiedSince;
    case 26: return r.localFile;
    case 27: {
      std::string& out = textResults_[id];
      getLocalHost(out);
      return out;
    }
    case 28: return r.otherHeaders;
    case 30: return response().headers[i].first;
    case 31: return response().headers[i].second;
    case 32: return password();
    case 33: return r.postData;
    case 34: return r.pragma;
    case 37: return proxyPassword();
    case 39: return r.proxyServer;
    case 41: return proxyUser();
    case 42: return r.range;
    case 43: return r.referer;
    case 44: return acceptServerCertText();
    case 45: return clientCert();
    case 46: return certStore();
    case 47: return certStorePassword();
    case 49: return certSubject();
    case 50: return serverCertText();
    case 51: return response().statusLine;
    case 53: return response().transferredData;
    case 55: return response().transferredHeaders;
    case 56: return url();
    case 57: return r.urlPath;
    case 59: return urlScheme();
    case 60: return urlServer();
    case 61: return user();
    default: return kEmptyText;
  }
}

// --- methods ---------------------------------------------------------------------------------

int HttpComponent::doMethod(int id, int argc, void* argv[], int argLengths[]) {
  bool wide = id > kWideIdOffset;
  int method = wide ? id - kWideIdOffset : id;
  std::string args[2];
  int wanted = method == kMethodAddCookie ? 2 : 1;
  for (int i = 0; i < wanted; ++i) {
    if (argv == nullptr || i >= argc || argv[i] == nullptr) continue;
    if (wide) {
      if (!fromWide(static_cast<const char16_t*>(argv[i]), args[i])) return codePageError();
    } else {
      args[i] = static_cast<const char*>(argv[i]);
    }
  }
  switch (method) {
    case kMethodAddCookie: return addCookie(args[0], args[1]);
    case kMethodConfig: {
      std::string answer;
      int code = config(args[0], answer);
      configAnswer_ = answer;
      // The answer goes into argument slot 1 when the caller gave one.
      if (argv != nullptr && argc >= 2) {
        if (wide) {
          if (!toWide(configAnswer_, configAnswerWide_)) configAnswerWide_.clear();
          argv[1] = configAnswerWide_.data();
          if (argLengths != nullptr) argLengths[1] = static_cast<int>(configAnswerWide_.size());
        } else {
          argv[1] = configAnswer_.data();
          if (argLengths != nullptr) argLengths[1] = static_cast<int>(configAnswer_.size());
        }
      }
      return code;
    }
    case kMethodDelete: return runTransfer(TransferKind::Delete, args[0]);
    case kMethodDoEvents: return doEvents();
    case kMethodGet: return runTransfer(TransferKind::Get, args[0]);
    case kMethodHead: return runTransfer(TransferKind::Head, args[0]);
    case kMethodInterrupt: return interrupt();
    case kMethodPost: return runTransfer(TransferKind::Post, args[0]);
    case kMethodPut: return runTransfer(TransferKind::Put, args[0]);
    case kMethodReset: return runTransfer(TransferKind::Reset, std::string());
    default: return kErrUnknown;
  }
}

int HttpComponent::config(const std::string& text, std::string& answer) {
  ConfigRequest req = parseConfigText(text);
  int code = kOk;
  if (!configSetting(req, answer, code)) {
    answer.clear();
    return setError(kErrUnknown, kTextUnknownConfig);
  }
  if (!req.isQuery) answer.clear();
  return code;
}

// --- events ------------------------------------------------------------------------------------

void HttpComponent::EventArgs::add(void* arg, int length, ArgKind kind) {
  if (count == kMaxEventArgs) return;
  argv[count] = arg;
  lengths[count] = length;
  kinds[count] = kind;
  ++count;
}

void HttpComponent::EventArgs::value(int64_t v) {
  add(reinterpret_cast<void*>(static_cast<intptr_t>(v)), 0, ArgKind::Value);
}

void HttpComponent::EventArgs::text(const std::string& s) {
  add(const_cast<char*>(s.c_str()), static_cast<int>(s.size()), ArgKind::Text);
}

void HttpComponent::EventArgs::bytes(const char* data, size_t length) {
  add(const_cast<char*>(data), static_cast<int>(length), ArgKind::Bytes);
}

void HttpComponent::EventArgs::pointer(void* p) { add(p, 0, ArgKind::Bytes); }

int HttpComponent::deliver(int eventId, EventArgs& args) {
  if (callback_ == nullptr) return 0;
  const int argc = static_cast<int>(args.count);
  int r = callback_(user_, eventId, argc, args.argv.data(), args.lengths.data());
  if (r != kEventRefireWide) return r;

  // Again with every text in UTF-16; values and bytes stay as they are.
  std::vector<std::u16string> wideTexts(args.count);
  std::vector<void*> wideArgv(args.argv.begin(), args.argv.begin() + argc);
  std::vector<int> wideLengths(args.lengths.begin(), args.lengths.begin() + argc);
  for (size_t i = 0; i < args.count; ++i) {
    if (args.kinds[i] != ArgKind::Text) continue;
    const char* s = static_cast<const char*>(args.argv[i]);
    if (!toWide(std::string(s, static_cast<size_t>(args.lengths[i])), wideTexts[i])) {
      wideTexts[i].clear();
    }
    wideArgv[i] = wideTexts[i].data();
    wideLengths[i] = static_cast<int>(wideTexts[i].size());
  }
  r = callback_(user_, eventId + kWideIdOffset, argc, wideArgv.data(), wideLengths.data());
  // In/out values set by the wide handler count.
  for (size_t i = 0; i < args.count; ++i) {
    if (args.kinds[i] == ArgKind::Value) args.argv[i] = wideArgv[i];
  }
  return r;
}

void HttpComponent::fireConnected(int code, const std::string& description) {
  EventArgs a;
  a.value(code);
  a.text(description);
  deliver(kEventConnected, a);
}

void HttpComponent::fireConnectionStatus(const std::string& event, int code,
                                         const std::string& description) {
  EventArgs a;
  a.text(event);
  a.value(code);
  a.text(description);
  deliver(kEventConnectionStatus, a);
}

void HttpComponent::fireDisconnected(int code, const std::string& description) {
  EventArgs a;
  a.value(code);
  a.text(description);
  deliver(kEventDisconnected, a);
}

void HttpComponent::fireError(int code, const std::string& description) {
  EventArgs a;
  a.value(code);
  a.text(description);
  deliver(kEventError, a);
}

void HttpComponent::fireSSLStatus(const std::string& message) {
  EventArgs a;
  a.text(message);
  deliver(kEventSSLStatus, a);
}

int HttpComponent::fireSSLServerAuthentication(const std::string& certEncoded,
                                               const std::string& subject,
                                               const std::string& issuer,
                                               const std::string& status, bool accept) {
  EventArgs a;
  a.bytes(certEncoded.data(), certEncoded.size());
  a.text(subject);
  a.text(issuer);
  a.text(status);
  a.value(accept ? 1 : 0);
  deliver(kEventSSLServerAuthentication, a);
  return reinterpret_cast<intptr_t>(a.argv[4]) != 0 ? 1 : 0;
}

void HttpComponent::fireHeader(const std::string& field, const std::string& value) {
  EventArgs a;
  a.text(field);
  a.text(value);
  deliver(kEventHeader, a);
}

bool HttpComponent::fireRedirect(const std::string& location, bool accept) {
  EventArgs a;
  a.text(location);
  a.value(accept ? 1 : 0);
  deliver(kEventRedirect, a);
  return reinterpret_cast<intptr_t>(a.argv[1]) != 0;
}

void HttpComponent::fireSetCookie(const std::string& name, const std::string& value,
                                  const std::string& expires, const std::string& domain,
                                  const std::string& path, bool secure) {
  EventArgs a;
  a.text(name);
  a.text(value);
  a.text(expires);
  a.text(domain);
  a.text(path);
  a.value(secure ? 1 : 0);
  deliver(kEventSetCookie, a);
}

void HttpComponent::fireStartTransfer(int direction) {
  EventArgs a;
  a.value(direction);
  deliver(kEventStartTransfer, a);
}

void HttpComponent::fireEndTransfer(int direction) {
  EventArgs a;
  a.value(direction);
  deliver(kEventEndTransfer, a);
}

void HttpComponent::fireStatus(const std::string& httpVersion, int statusCode,
                               const std::string& description) {
  EventArgs a;
  a.text(httpVersion);
  a.value(statusCode);
  a.text(description);
  deliver(kEventStatus, a);
}

void HttpComponent::fireTransfer(int direction, int64_t bytesTransferred, int percentDone,
                                 const char* text, size_t length) {
  int64_t bytes = bytesTransferred;
  EventArgs a;
  a.value(direction);
  a.pointer(&bytes);
  a.value(percentDone);
  a.bytes(text, length);
  deliver(kEventTransfer, a);
}

}  // namespace velmora::network::component
