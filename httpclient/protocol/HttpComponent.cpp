#include "httpclient/protocol/HttpComponent.h"

#include "httpclient/transport/ComponentErrors.h"
#include "platform/codepage.h"

namespace velmora::network::component {

namespace {

const std::string kEmptyText;
const char16_t kEmptyWide[1] = {0};

// A property id as the flat interface gives it: id + 10000 passes UTF-16
// text, id + 20000 raw bytes with a length.
struct PropertyId {
  int base;
  bool wide;
  bool rawBytes;
};

PropertyId decodePropertyId(int id) {
  if (id > https_prop::BytesOffset) return {id - https_prop::BytesOffset, false, true};
  if (id > https_prop::WideOffset) return {id - https_prop::WideOffset, true, false};
  return {id, false, false};
}

bool isText(PropType type) { return type == PropType::Text || type == PropType::Binary; }

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
  return setError(ERROR_INVALID_PARAMETER,
                  "The code page " + std::to_string(codePage_) + " is not supported.");
}

// --- properties -------------------------------------------------------------------------

int HttpComponent::setProperty(int id, int index, const void* value, int length) {
  const PropertyId pid = decodePropertyId(id);
  const PropertyRow* p = findProperty(pid.base);
  if (p == nullptr) return kErrUnknown;
  if (!p->set) return setError(kErrUnknown, kTextReadOnlyProperty);

  PropertyValue v;
  switch (p->type) {
    case PropType::Integer:
    case PropType::Boolean:
      v.number = static_cast<int64_t>(reinterpret_cast<intptr_t>(value));
      break;
    case PropType::Long:
      v.number = value != nullptr ? *static_cast<const int64_t*>(value) : 0;
      break;
    case PropType::Text:
    case PropType::Binary:
      if (value == nullptr) break;
      if (pid.wide) {
        if (!fromWide(static_cast<const char16_t*>(value), v.text)) return codePageError();
      } else if (pid.rawBytes || p->type == PropType::Binary) {
        // A negative length means a zero-terminated text.
        if (length < 0) {
          v.text = static_cast<const char*>(value);
        } else {
          v.text.assign(static_cast<const char*>(value), static_cast<size_t>(length));
        }
      } else {
        v.text = static_cast<const char*>(value);
      }
      break;
  }
  if (p->index != PropIndex::None && !validIndex(*p, index)) return badIndex(*p);
  return p->set(*this, static_cast<size_t>(index), v);
}

bool HttpComponent::validIndex(const PropertyRow& p, int index) const {
  switch (p.index) {
    case PropIndex::Cookie:
      return cookies().validIndex(index);
    case PropIndex::Header:
      return index >= 0 && static_cast<size_t>(index) < response().headers.size();
    case PropIndex::None:
      break;
  }
  return false;
}

int HttpComponent::badIndex(const PropertyRow& p) {
  return setError(kErrBadIndex,
                  p.index == PropIndex::Cookie ? kTextBadCookieIndex : kTextBadHeaderIndex);
}

int HttpComponent::checkIndex(int id, int index) const {
  const PropertyRow* p = findProperty(decodePropertyId(id).base);
  if (p == nullptr || p->index == PropIndex::None) return kErrIndexCheck;
  return validIndex(*p, index) ? kOk : kErrIndexCheck;
}

void* HttpComponent::getProperty(int id, int index, int* length) {
  const PropertyId pid = decodePropertyId(id);
  const PropertyRow* p = findProperty(pid.base);
  if (p == nullptr) return nullptr;

  if (p->index != PropIndex::None && !validIndex(*p, index)) {
    badIndex(*p);
    if (length != nullptr) *length = 0;
    if (!isText(p->type)) return nullptr;
    if (pid.wide) return const_cast<char16_t*>(kEmptyWide);
    return const_cast<char*>(kEmptyText.c_str());
  }
  const size_t i = static_cast<size_t>(index);
  if (p->type == PropType::Long) {
    longResult_ = p->number(*this, i);
    return &longResult_;
  }
  if (!isText(p->type)) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(p->number(*this, i)));
  }
  const std::string& s = p->text(*this, i);
  if (pid.wide) {
    std::u16string& buf = wideResults_[pid.base];
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

const std::string& HttpComponent::localHostText() {
  getLocalHost(localHostText_);
  return localHostText_;
}

// --- methods ---------------------------------------------------------------------------------

int HttpComponent::doMethod(int id, int argc, void* argv[], int argLengths[]) {
  bool wide = id > https_method::WideOffset;
  int method = wide ? id - https_method::WideOffset : id;
  std::string args[2];
  int wanted = method == https_method::AddCookie ? 2 : 1;
  for (int i = 0; i < wanted; ++i) {
    if (argv == nullptr || i >= argc || argv[i] == nullptr) continue;
    if (wide) {
      if (!fromWide(static_cast<const char16_t*>(argv[i]), args[i])) return codePageError();
    } else {
      args[i] = static_cast<const char*>(argv[i]);
    }
  }
  switch (method) {
    case https_method::AddCookie: return addCookie(args[0], args[1]);
    case https_method::Config: {
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
    case https_method::Delete: return runTransfer(TransferKind::Delete, args[0]);
    case https_method::DoEvents: return doEvents();
    case https_method::Get: return runTransfer(TransferKind::Get, args[0]);
    case https_method::Head: return runTransfer(TransferKind::Head, args[0]);
    case https_method::Interrupt: return interrupt();
    case https_method::Post: return runTransfer(TransferKind::Post, args[0]);
    case https_method::Put: return runTransfer(TransferKind::Put, args[0]);
    case https_method::Reset: return runTransfer(TransferKind::Reset, std::string());
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
  if (r != https_event::RefireWide) return r;

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
  r = callback_(user_, eventId + https_event::WideOffset, argc, wideArgv.data(),
                wideLengths.data());
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
  deliver(https_event::Connected, a);
}

void HttpComponent::fireConnectionStatus(const std::string& event, int code,
                                         const std::string& description) {
  EventArgs a;
  a.text(event);
  a.value(code);
  a.text(description);
  deliver(https_event::ConnectionStatus, a);
}

void HttpComponent::fireDisconnected(int code, const std::string& description) {
  EventArgs a;
  a.value(code);
  a.text(description);
  deliver(https_event::Disconnected, a);
}

void HttpComponent::fireError(int code, const std::string& description) {
  EventArgs a;
  a.value(code);
  a.text(description);
  deliver(https_event::Error, a);
}

void HttpComponent::fireSSLStatus(const std::string& message) {
  EventArgs a;
  a.text(message);
  deliver(https_event::SSLStatus, a);
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
  deliver(https_event::SSLServerAuthentication, a);
  return reinterpret_cast<intptr_t>(a.argv[4]) != 0 ? 1 : 0;
}

void HttpComponent::fireHeader(const std::string& field, const std::string& value) {
  EventArgs a;
  a.text(field);
  a.text(value);
  deliver(https_event::Header, a);
}

bool HttpComponent::fireRedirect(const std::string& location, bool accept) {
  EventArgs a;
  a.text(location);
  a.value(accept ? 1 : 0);
  deliver(https_event::Redirect, a);
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
  deliver(https_event::SetCookie, a);
}

void HttpComponent::fireStartTransfer(int direction) {
  EventArgs a;
  a.value(direction);
  deliver(https_event::StartTransfer, a);
}

void HttpComponent::fireEndTransfer(int direction) {
  EventArgs a;
  a.value(direction);
  deliver(https_event::EndTransfer, a);
}

void HttpComponent::fireStatus(const std::string& httpVersion, int statusCode,
                               const std::string& description) {
  EventArgs a;
  a.text(httpVersion);
  a.value(statusCode);
  a.text(description);
  deliver(https_event::Status, a);
}

void HttpComponent::fireTransfer(int direction, int64_t bytesTransferred, int percentDone,
                                 const char* text, size_t length) {
  int64_t bytes = bytesTransferred;
  EventArgs a;
  a.value(direction);
  a.pointer(&bytes);
  a.value(percentDone);
  a.bytes(text, length);
  deliver(https_event::Transfer, a);
}

}  // namespace velmora::network::component
