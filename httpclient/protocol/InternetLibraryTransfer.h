// Internet-library transfer: one request and its response through the
// platform's Internet library ("wininet.dll"), run on a worker thread.
// What it is: the worker's steps (session, connection, request, headers,
//   body, send with its two certificate retries, the header block, the body
//   in pieces, the status), its failure codes and their texts.
// May call below: the library's entry points (resolved once per process),
//   files, threads, and SendMessageA to the owner's hidden window.
// Tells above: every event as a synchronous message to the owner's window
//   carrying a LibraryEvent, so that the owner runs it on its own thread and
//   user code never runs on the worker; the owner's answer can end the
//   transfer.
// Re-entrancy: one worker at a time; cancel() comes from the owner's thread
//   (also from inside an event) and only closes handles and sets a flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/messages.h"

// The library's handle type (platform/wininet.h, included by the worker's
// file alone: its security-flag names are also the certificate area's).
typedef void* HINTERNET;

namespace velmora::network::component {

// The events the worker raises, numbered as the message carries them.
enum class LibraryEventKind {
  Connected = 1,
  Disconnected = 2,
  EndTransfer = 3,
  Error = 4,
  Header = 5,
  SSLStatus = 6,
  SSLServerAuthentication = 7,  // never raised: no certificate reaches the component
  StartTransfer = 8,
  Transfer = 9,
};

struct LibraryEvent {
  LibraryEventKind kind = LibraryEventKind::Error;
  int code = 0;             // Connected, Disconnected: the code; Start/EndTransfer: the direction
  std::string text;         // the description, the status text, or the header line
  std::string statusLine;   // EndTransfer (0): the header block's first line
  const char* data = nullptr;  // Transfer: the piece
  size_t length = 0;
  // The owner's answers: a non-zero result ends the transfer with it and
  // resultText; a header tells the Content-Length known so far.
  int result = 0;
  std::string resultText;
  int64_t contentLength = -1;
};

// What the worker needs of the component, copied on the owner's thread
// before the worker starts, so the worker never reads the component.
struct LibraryRequest {
  std::string verb;  // GET, POST, HEAD or PUT
  std::string scheme;
  std::string server;
  uint16_t port = 0;
  std::string path;
  std::string httpVersion;
  std::string userAgent;
  std::string referer;
  std::string accept;
  std::string user;
  std::string password;
  std::string proxyServer;
  int32_t proxyPort = 0;
  bool proxyAutoDetect = false;
  std::string proxyUser;
  std::string proxyPassword;
  uint32_t sslSecurityFlags = 0;
  bool useCookies = true;
  bool readContentLength = false;
  std::string contentType;
  std::string from;
  std::string ifModifiedSince;
  std::string pragma;
  std::string otherHeaders;
  std::string postData;
  std::string attachedFile;
};

class InternetLibraryTransfer {
 public:
  // Events go to `window` as message `message`, the event in lParam and its
  // kind in wParam.
  InternetLibraryTransfer(HWND window, UINT message) : window_(window), message_(message) {}
  ~InternetLibraryTransfer();
  InternetLibraryTransfer(const InternetLibraryTransfer&) = delete;
  InternetLibraryTransfer& operator=(const InternetLibraryTransfer&) = delete;

  // Closes the previous worker's handle and starts a new worker; the
  // CreateThread failure code (text in errorText()) when none starts.
  int start(LibraryRequest request);
  bool running() const;
  // Closes the library handles, so that the worker's pending call fails, and
  // drops its later events.
  void cancel();
  bool cancelled() const { return cancelled_; }
  // Waits for the worker to end; `pump` runs the owner's pending messages
  // between short waits, so that a worker blocked on an event goes on.
  void join(const std::function<void()>& pump);
  // Once the worker has ended: its result and last error text.
  int result() const { return result_; }
  const std::string& errorText() const { return errorText_; }

  // The text of a status notification (SSLStatus), and of a library error.
  static std::string statusText(DWORD notification, DWORD state);
  static std::string errorTableText(DWORD code);

 private:
  static DWORD threadMain(LPVOID self);
  static void statusCallback(HINTERNET handle, ULONG_PTR context, DWORD status, LPVOID info,
                             DWORD infoLength);
  int run();
  int openRequest(HINTERNET connection, DWORD flags, DWORD securityFlags);
  int addHeaders();
  int readBody(std::string& body);
  int send(const std::string& body);
  int takeHeaders();
  int readResponseBody();
  // A step failed with the library's last error (or `code` when set): the
  // handles close and the text comes from the error table.
  int libraryFailure(DWORD code = 0);
  int fail(int code, const std::string& text);
  // Sends an event to the owner; a non-zero answer ends the transfer.
  int raise(LibraryEvent& event);
  int raise(LibraryEventKind kind, int code, const std::string& text = std::string());
  void closeHandles();
  // Keeps a handle the worker made where cancel() can close it.
  void keep(HINTERNET& slot, HINTERNET value);

  HWND window_;
  UINT message_;
  HANDLE thread_ = nullptr;
  LibraryRequest request_;
  std::mutex handleMutex_;
  HINTERNET session_ = nullptr;
  HINTERNET connection_ = nullptr;
  HINTERNET requestHandle_ = nullptr;
  HINTERNET workerRequest_ = nullptr;  // the worker's own copy
  std::atomic<bool> cancelled_{false};
  std::string statusLine_;
  int64_t contentLength_ = -1;
  int result_ = 0;
  std::string errorText_;
};

}  // namespace velmora::network::component
