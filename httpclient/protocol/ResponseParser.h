// The response parser of the HTTP layer.
// What it is: a state machine fed the received bytes as the line buffer hands
//   them on (lines without their marker while the marker is set, raw pieces
//   otherwise). It reads the status line, skips interim 1xx responses, parses
//   the header block, undoes chunked transfer coding and gzip or deflate
//   content coding, and hands each body piece on.
// May call below: nothing. It does no I/O: the line-end marker it needs next,
//   the events and the body pieces go to its sink, which owns the connection,
//   the files and the events.
// Tells above: the sink's operations below.
// Re-entrancy: feed() is not re-entered; "need more" is a state, not an error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "httpclient/protocol/ContentDecoder.h"

namespace velmora::network::component {

// States of the parser; the numbers are the component's own.
enum class ParserState {
  StatusLine = 0,  // waiting for the first line of a response
  Interim = 1,     // inside an interim 1xx response, waiting for its end
  Headers = 2,     // reading header lines until the blank line
  Body = 3,        // identity body, or a response without status line
  ChunkSize = 4,   // reading a chunk-size line
  ChunkData = 5,   // reading chunk data (CR LF terminated pieces)
  ChunkDone = 6,   // the last chunk was seen; the next data ends the response
  HeldCR = 7,      // a CR at the cut of a full line buffer waits for the next piece
};

const char* parserStateName(ParserState state);

// Fields of the last response, reset when a request is written.
struct HttpResponseFields {
  std::string statusLine;
  std::string httpVersion;
  int32_t statusCode = 0;
  std::string reasonPhrase;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string transferredHeaders;
  std::string transferredData;
  std::string contentType;
  int64_t contentLength = -1;
  bool chunked = false;
  int32_t chunkRemaining = 0;
  std::string location;  // captured only while FollowRedirects is not 0
  uint64_t bytesTransferred = 0;
};

// What the parser tells its owner.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // The line-end marker for the next bytes: "\n", "\r\n" or "" (raw).
  virtual int setLineEnd(const std::string& marker) = 0;
  virtual void onStatus(const std::string& version, int code, const std::string& reason) = 0;
  // One parsed header (after it was added to the header list).
  virtual int onHeader(const std::string& field, const std::string& value) = 0;
  virtual void onStartTransfer() = 0;
  // One decoded body piece; a non-zero result ends the response with it.
  virtual int onBody(const char* data, size_t length, int percentDone) = 0;
  // The response has ended; fireEndTransfer is false for a 3xx response
  // whose Location was captured.
  virtual void onEndOfResponse(bool fireEndTransfer) = 0;
  // The body of a followed redirect is not read: the connection goes.
  virtual void onSkipRedirectBody() = 0;
};

// A status line's parts: the version up to the first blank, the code's
// digits after it, the reason after the next blank.
struct StatusLineParts {
  std::string version;
  int32_t code = 0;
  std::string reason;
};
StatusLineParts splitStatusLine(const std::string& line);
// A header line (without its line end) as field and value: the field runs to
// the first colon, the value starts after the blanks and tabs that follow it;
// a line starting with a blank or control byte is a folded one, all value.
void splitHeaderLine(const std::string& line, std::string& field, std::string& value);
// Keeps Content-Type and Content-Length in the response fields.
void keepEntityHeader(HttpResponseFields& fields, const std::string& field,
                      const std::string& value);
// PercentDone of a body piece: -1 while the length is unknown or 0.
int percentDone(uint64_t bytesTransferred, int64_t contentLength);
// The last error text of a status that is not a success.
std::string protocolErrorText(int code, const std::string& reason);

struct ParserSettings {
  bool headRequest = false;      // the request method text is exactly "HEAD"
  bool followRedirects = false;  // FollowRedirects is not 0
  bool allowCompression = false; // AllowHTTPCompression
  int32_t maxLineLength = 2048;  // capacity of the line buffer feeding us
};

class ResponseParser {
 public:
  // A header block over this many bytes or lines fails the response.
  static constexpr size_t kMaxHeaderBytes = 1024 * 1024;
  static constexpr size_t kMaxHeaderLines = 1000;

  ResponseParser(HttpResponseFields& fields, ResponseSink& sink);

  // Starts a new response: state StatusLine, fields cleared.
  void reset(const ParserSettings& settings);
  // One piece from the line buffer. 0 to go on; an error code ends the
  // response (errorText() says why).
  int feed(const char* data, size_t length, bool endOfLine);
  // The server closed the connection: an identity body without a length
  // ends here.
  void connectionClosed();
  // The capacity of the line buffer that feeds us, once the connection (plain
  // or TLS) is chosen.
  void setMaxLineLength(int32_t length) { settings_.maxLineLength = length; }

  ParserState state() const { return state_; }
  bool ended() const { return ended_; }
  bool statusReceived() const { return statusReceived_; }
  int errorCode() const { return errorCode_; }
  const std::string& errorText() const { return errorText_; }

 private:
  void setState(ParserState next);
  int fail(int code, const std::string& text);
  void endResponse();
  int countHeaderLine(size_t length);

  int onStatusLine(const char* data, size_t length, bool endOfLine);
  void onInterimLine(const char* data, size_t length, bool endOfLine);
  int onHeaderLine(std::string line);
  int onHeaderBlockEnd();
  int onChunkSize(const char* data, size_t length);
  int onChunkData(const char* data, size_t length, bool endOfLine);
  int onHeldCr(const char* data, size_t length, bool endOfLine);
  int processBody(const char* data, size_t length);

  HttpResponseFields& f_;
  ResponseSink& sink_;
  ParserSettings settings_;
  ParserState state_ = ParserState::StatusLine;
  bool ended_ = false;
  bool statusReceived_ = false;
  int errorCode_ = 0;
  std::string errorText_;
  size_t headerBytes_ = 0;
  size_t headerLines_ = 0;
  ContentDecoder decoder_;
  std::string decoded_;
};

}  // namespace velmora::network::component
