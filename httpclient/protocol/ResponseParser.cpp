#include "httpclient/protocol/ResponseParser.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "httpclient/transport/ComponentErrors.h"
#include "httpclient/transport/ConfigText.h"
#include "platform/text.h"

using tw_platform::equalsNoCase;

namespace velmora::network::component {

namespace {

constexpr const char* kTextHeaderTooLarge = "Response header too large.";
constexpr const char* kTextDecompressorInit = "Could not initialize decompressor.";
constexpr const char* kTextDecompress = "Could not decompress content.";
constexpr const char* kTextGzipHeader = "The GZIP header is invalid.";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A signed number with an optional leading "-", read up to the first byte
// that is not a digit of the base; saturates instead of overflowing.
int64_t numberPrefix(std::string_view text, int base, int64_t limit) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    int d = hexDigit(text[i]);
    if (d < 0 || d >= base) break;
    value = value > (limit - d) / base ? limit : value * base + d;
  }
  return negative ? -value : value;
}

bool isRedirectStatus(int code) { return code >= 300 && code <= 399; }

}  // namespace

StatusLineParts splitStatusLine(const std::string& line) {
  StatusLineParts parts;
  size_t blank = line.find(' ');
  parts.version = line.substr(0, blank);
  std::string codeText;
  if (blank != std::string::npos) {
    std::string rest = line.substr(blank + 1);
    size_t next = rest.find(' ');
    codeText = rest.substr(0, next);
    if (next != std::string::npos) parts.reason = rest.substr(next + 1);
  }
  parts.code = static_cast<int32_t>(numberPrefix(codeText, 10, 0x7FFFFFFF));
  return parts;
}

void splitHeaderLine(const std::string& line, std::string& field, std::string& value) {
  field.clear();
  value.clear();
  if (line.empty()) return;
  if (static_cast<unsigned char>(line[0]) < 33) {
    // A folded line (or one starting with a control byte): no field name.
    value = line.substr(1);
    return;
  }
  size_t colon = line.find(':');
  field = line.substr(0, colon);
  if (colon != std::string::npos) {
    size_t start = line.find_first_not_of(" \t", colon + 1);
    if (start != std::string::npos) value = line.substr(start);
  }
}

void keepEntityHeader(HttpResponseFields& fields, const std::string& field,
                      const std::string& value) {
  if (equalsNoCase(field, "Content-Type")) {
    fields.contentType = value;
  } else if (equalsNoCase(field, "Content-Length")) {
    fields.contentLength = numberPrefix(value, 10, INT64_MAX);
  }
}

int percentDone(uint64_t bytesTransferred, int64_t contentLength) {
  if (contentLength <= 0) return -1;
  unsigned __int128 p = static_cast<unsigned __int128>(bytesTransferred) * 100 /
                        static_cast<uint64_t>(contentLength);
  return p > 100 ? 100 : static_cast<int>(p);
}

std::string protocolErrorText(int code, const std::string& reason) {
  std::string text = "HTTP protocol error. " + std::to_string(code) + " " + reason;
  if (reason.empty() || reason.back() != '.') text += ".";
  return text;
}

const char* parserStateName(ParserState state) {
  switch (state) {
    case ParserState::StatusLine: return "StatusLine";
    case ParserState::Interim: return "Interim";
    case ParserState::Headers: return "Headers";
    case ParserState::Body: return "Body";
    case ParserState::ChunkSize: return "ChunkSize";
    case ParserState::ChunkData: return "ChunkData";
    case ParserState::ChunkDone: return "ChunkDone";
    case ParserState::HeldCR: return "HeldCR";
  }
  return "?";
}

ResponseParser::ResponseParser(HttpResponseFields& fields, ResponseSink& sink)
    : f_(fields), sink_(sink) {}

void ResponseParser::setState(ParserState next) {
#ifndef NDEBUG
  static const bool trace = std::getenv("TW_TRACE_HTTP_PARSER") != nullptr;
  if (trace && next != state_) {
    std::fprintf(stderr, "http parser: %s -> %s\n", parserStateName(state_),
                 parserStateName(next));
  }
#endif
  state_ = next;
}

void ResponseParser::reset(const ParserSettings& settings) {
  settings_ = settings;
  setState(ParserState::StatusLine);
  ended_ = false;
  statusReceived_ = false;
  errorCode_ = 0;
  errorText_.clear();
  headerBytes_ = 0;
  headerLines_ = 0;
  decoder_.reset();
  decoded_.clear();
  f_.statusLine.clear();
  f_.httpVersion.clear();
  f_.statusCode = 0;
  f_.reasonPhrase.clear();
  f_.headers.clear();
  f_.transferredHeaders.clear();
  f_.transferredData.clear();
  f_.contentType.clear();
  f_.contentLength = -1;
  f_.chunked = false;
  f_.chunkRemaining = 0;
  f_.location.clear();
  f_.bytesTransferred = 0;
}

int ResponseParser::fail(int code, const std::string& text) {
  errorCode_ = code;
  errorText_ = text;
  ended_ = true;
  return code;
}

void ResponseParser::endResponse() {
  if (ended_) return;
  ended_ = true;
  bool redirectCaptured = isRedirectStatus(f_.statusCode) && !f_.location.empty();
  sink_.onEndOfResponse(!redirectCaptured);
}

// The header block is bounded, so a server cannot make us keep an endless
// one: over 1 MiB or 1,000 lines (status and interim lines included) fails.
int ResponseParser::countHeaderLine(size_t length) {
  ++headerLines_;
  headerBytes_ += length + 1;
  if (headerLines_ > kMaxHeaderLines || headerBytes_ > kMaxHeaderBytes) {
    return fail(kErrProtocol, kTextHeaderTooLarge);
  }
  return kOk;
}

int ResponseParser::feed(const char* data, size_t length, bool endOfLine) {
  if (ended_) return kOk;
  switch (state_) {
    case ParserState::StatusLine:
      if (int r = countHeaderLine(length)) return r;
      return onStatusLine(data, length, endOfLine);
    case ParserState::Interim:
      if (int r = countHeaderLine(length)) return r;
      onInterimLine(data, length, endOfLine);
      return errorCode_;
    case ParserState::Headers: {
      if (int r = countHeaderLine(length)) return r;
      std::string line(data, length);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) return onHeaderBlockEnd();
      return onHeaderLine(std::move(line));
    }
    case ParserState::Body:
      return processBody(data, length);
    case ParserState::ChunkSize:
      return onChunkSize(data, length);
    case ParserState::ChunkData:
      return onChunkData(data, length, endOfLine);
    case ParserState::ChunkDone:
      // Trailer lines are not parsed: the next data ends the response.
      endResponse();
      return kOk;
    case ParserState::HeldCR:
      return onHeldCr(data, length, endOfLine);
  }
  return kOk;
}

void ResponseParser::connectionClosed() {
  if (!ended_ && state_ == ParserState::Body && f_.contentLength < 0) endResponse();
}

int ResponseParser::onStatusLine(const char* data, size_t length, bool endOfLine) {
  f_.bytesTransferred = 0;
  f_.statusLine.clear();
  f_.transferredHeaders.clear();
  f_.transferredData.clear();
  f_.contentType.clear();

  if (length == 0 || data[0] != 'H') {
    // Not a status line: everything from here on is body.
    setState(ParserState::Body);
    if (int r = sink_.setLineEnd(std::string())) return fail(r, std::string());
    std::string piece(data, length);
    if (endOfLine) piece += '\n';
    return processBody(piece.data(), piece.size());
  }

  std::string line(data, length);
  if (line.back() == '\r') line.pop_back();
  f_.statusLine = line;
  StatusLineParts parts = splitStatusLine(line);
  f_.httpVersion = std::move(parts.version);
  f_.statusCode = parts.code;
  f_.reasonPhrase = std::move(parts.reason);
  statusReceived_ = true;
  if (f_.statusCode >= 100 && f_.statusCode <= 199 && f_.statusCode != 101) {
    setState(ParserState::Interim);
    return kOk;
  }
  setState(ParserState::Headers);
  sink_.onStatus(f_.httpVersion, f_.statusCode, f_.reasonPhrase);
  return errorCode_;
}

void ResponseParser::onInterimLine(const char* data, size_t length, bool endOfLine) {
  if (length < 2) {
    setState(ParserState::StatusLine);
    f_.statusLine.clear();
    f_.transferredHeaders.clear();
    f_.transferredData.clear();
  } else if (data[0] == 'H') {
    setState(ParserState::StatusLine);
    onStatusLine(data, length, endOfLine);
  }
  // Other lines of an interim response are ignored.
}

int ResponseParser::onHeaderLine(std::string line) {
  f_.transferredHeaders += line;
  f_.transferredHeaders += "\r\n";

  std::string field, value;
  splitHeaderLine(line, field, value);

  if (settings_.followRedirects && equalsNoCase(field, "Location")) f_.location = value;
  f_.headers.emplace_back(field, value);
  if (int r = sink_.onHeader(field, value)) return fail(r, std::string());
  if (ended_) return errorCode_;

  keepEntityHeader(f_, field, value);
  if (equalsNoCase(field, "Transfer-Encoding")) {
    if (equalsNoCase(value, "chunked")) f_.chunked = true;
  } else if (equalsNoCase(field, "content-encoding") && settings_.allowCompression) {
    ContentCoding coding = ContentCoding::None;
    if (equalsNoCase(value, "gzip")) coding = ContentCoding::Gzip;
    if (equalsNoCase(value, "deflate")) coding = ContentCoding::Deflate;
    if (coding != ContentCoding::None && !decoder_.start(coding)) {
      return fail(kErrProtocol, kTextDecompressorInit);
    }
  }
  return kOk;
}

int ResponseParser::onHeaderBlockEnd() {
  const int code = f_.statusCode;
  if (settings_.headRequest || code == 204 || code == 304 || code == 101) {
    endResponse();
    return kOk;
  }
  if (!(isRedirectStatus(code) && !f_.location.empty())) sink_.onStartTransfer();
  if (ended_) return errorCode_;
  if (f_.chunked) {
    setState(ParserState::ChunkSize);
    if (int r = sink_.setLineEnd("\r\n")) return fail(r, std::string());
    return kOk;
  }
  setState(ParserState::Body);
  if (int r = sink_.setLineEnd(std::string())) return fail(r, std::string());
  if (f_.contentLength == 0) endResponse();
  return kOk;
}

int ResponseParser::onChunkSize(const char* data, size_t length) {
  // Reading stops at the first byte that is no hex digit: extensions are
  // ignored.
  int64_t size = numberPrefix(std::string_view(data, length), 16, 0x7FFFFFFF);
  if (size >= 1) {
    f_.chunkRemaining = static_cast<int32_t>(size);
    setState(ParserState::ChunkData);
  } else if (size == 0) {
    setState(ParserState::ChunkDone);
  }
  return kOk;
}

int ResponseParser::onChunkData(const char* data, size_t length, bool endOfLine) {
  int64_t remaining = static_cast<int64_t>(f_.chunkRemaining) - static_cast<int64_t>(length);
  size_t bodyLength = length;
  bool putBackLineEnd = false;
  if (endOfLine) {
    remaining -= 2;
    if (remaining < 0) {
      // The CR LF was the chunk's terminator.
      setState(ParserState::ChunkSize);
    } else {
      // The CR LF belongs to the data.
      putBackLineEnd = true;
    }
  } else if (length > 0 && length == static_cast<size_t>(settings_.maxLineLength) &&
             data[length - 1] == '\r') {
    // The line buffer was cut between CR and (maybe) LF: hold the CR until
    // the next piece says whether it ends a line. It is counted when it is
    // finally processed.
    --bodyLength;
    ++remaining;
    setState(ParserState::HeldCR);
  }
  if (remaining < INT32_MIN) remaining = INT32_MIN;
  f_.chunkRemaining = static_cast<int32_t>(remaining);

  if (!putBackLineEnd) return processBody(data, bodyLength);
  std::string piece(data, length);
  piece += "\r\n";
  return processBody(piece.data(), piece.size());
}

int ResponseParser::onHeldCr(const char* data, size_t length, bool endOfLine) {
  setState(ParserState::ChunkData);
  if (length > 0 && data[0] == '\n') {
    // The held CR and this LF form a line end.
    if (int r = onChunkData("", 0, true)) return r;
    return feed(data + 1, length - 1, endOfLine);
  }
  if (int r = onChunkData("\r", 1, false)) return r;
  return feed(data, length, endOfLine);
}

int ResponseParser::processBody(const char* data, size_t length) {
  if (settings_.followRedirects && !f_.location.empty() && isRedirectStatus(f_.statusCode)) {
    // The body of a redirect that will be followed is not read.
    sink_.onSkipRedirectBody();
    return kOk;
  }
  f_.bytesTransferred += length;

  const char* piece = data;
  size_t pieceLength = length;
  if (decoder_.coding() != ContentCoding::None) {
    int r = decoder_.decode(data, length, decoded_);
    if (r == kErrGzipHeader) return fail(r, kTextGzipHeader);
    if (r != kOk) return fail(kErrProtocol, kTextDecompress);
    piece = decoded_.data();
    pieceLength = decoded_.size();
  }

  if (pieceLength > 0) {
    const int percent = percentDone(f_.bytesTransferred, f_.contentLength);
    if (int r = sink_.onBody(piece, pieceLength, percent)) return fail(r, std::string());
    if (ended_) return errorCode_;
  }

  if (state_ == ParserState::Body && f_.contentLength >= 0 &&
      f_.bytesTransferred >= static_cast<uint64_t>(f_.contentLength)) {
    endResponse();
  }
  return kOk;
}

}  // namespace velmora::network::component
