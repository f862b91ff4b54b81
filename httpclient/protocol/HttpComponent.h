// The component object: the top of the HTTP client's layer chain.
// What it is: the object behind a handle of the flat interface. It maps
//   property, method and setting ids onto the layers' operations, converts
//   values (integers, texts, bytes, UTF-16 through "CodePage"), and delivers
//   the layers' events to the application's callback.
// May call below: the HTTP client and, through it, the layers under it.
// Tells above: the application's event callback (ids 1..13; a handler
//   answering -10000 gets the same event again as id + 10000 in UTF-16).
// Re-entrancy: one thread at a time per handle; a handler may call back
//   into the component (Interrupt; a transfer method then answers 143).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "httpclient/protocol/ComponentTables.h"
#include "httpclient/protocol/HttpClient.h"
#include "httpclient/transport/ComponentIds.h"

namespace velmora::network::component {

// callback(user pointer, event id, argument count, arguments, lengths)
typedef int (*HttpEventCallback)(void* user, int eventId, int argc, void* argv[],
                                 int argLengths[]);

class HttpComponent : public HttpClient {
 public:
  HttpComponent(HttpEventCallback callback, void* user);
  ~HttpComponent() override;

  // The flat interface's calls on this handle (without the last-error
  // completion, which the flat interface does).
  int setProperty(int id, int index, const void* value, int length);
  void* getProperty(int id, int index, int* length);
  int doMethod(int id, int argc, void* argv[], int argLengths[]);
  int checkIndex(int id, int index) const;

  int32_t codePage() const { return codePage_; }
  // LocalHost as text the component keeps until the next read.
  const std::string& localHostText();
  bool configSetting(const ConfigRequest& req, std::string& answer, int& code) override;

  // Event delivery: the layers' notifications end here.
  void fireConnected(int code, const std::string& description) override;
  void fireConnectionStatus(const std::string& event, int code,
                            const std::string& description) override;
  void fireDisconnected(int code, const std::string& description) override;
  void fireError(int code, const std::string& description) override;
  void fireSSLStatus(const std::string& message) override;
  int fireSSLServerAuthentication(const std::string& certEncoded, const std::string& subject,
                                  const std::string& issuer, const std::string& status,
                                  bool accept) override;
  void fireHeader(const std::string& field, const std::string& value) override;
  bool fireRedirect(const std::string& location, bool accept) override;
  void fireSetCookie(const std::string& name, const std::string& value,
                     const std::string& expires, const std::string& domain,
                     const std::string& path, bool secure) override;
  void fireStartTransfer(int direction) override;
  void fireEndTransfer(int direction) override;
  void fireStatus(const std::string& httpVersion, int statusCode,
                  const std::string& description) override;
  void fireTransfer(int direction, int64_t bytesTransferred, int percentDone, const char* text,
                    size_t length) override;

 private:
  enum class ArgKind { Value, Text, Bytes };
  // An event's arguments, held in place: events fire for every received
  // piece, so building them allocates nothing. No event has more than 6.
  static constexpr size_t kMaxEventArgs = 8;
  struct EventArgs {
    std::array<void*, kMaxEventArgs> argv{};
    std::array<int, kMaxEventArgs> lengths{};
    std::array<ArgKind, kMaxEventArgs> kinds{};
    size_t count = 0;
    void add(void* arg, int length, ArgKind kind);
    void value(int64_t v);
    void text(const std::string& s);
    void bytes(const char* data, size_t length);
    void pointer(void* p);
  };
  int deliver(int eventId, EventArgs& args);

  int config(const std::string& text, std::string& answer);
  bool validIndex(const PropertyRow& p, int index) const;
  int badIndex(const PropertyRow& p);
  // Conversions with the "CodePage" setting.
  bool toWide(const std::string& in, std::u16string& out) const;
  bool fromWide(const char16_t* in, std::string& out) const;
  int codePageError();

  HttpEventCallback callback_;
  void* user_;
  int32_t codePage_ = 0;
  int32_t charsetMode_ = 0;
  SettingTable settings_;

  // Results of Get that need storage of their own.
  std::map<int, std::u16string> wideResults_;
  std::string localHostText_;
  int64_t longResult_ = 0;
  // The answer of the last Config, returned in argument slot 1.
  std::string configAnswer_;
  std::u16string configAnswerWide_;
};

// The component behind a handle of the flat interface.
inline HttpComponent* componentFromHandle(void* handle) {
  return static_cast<HttpComponent*>(handle);
}

}  // namespace velmora::network::component
