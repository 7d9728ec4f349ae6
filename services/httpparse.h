#pragma once
// The pieces of HTTP/1.1 that read bytes from the network: the head of a
// request or response and the chunked transfer coding. Nothing here touches a
// socket, so every piece can be fed arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Largest body a request or response may announce or carry.
constexpr int64_t kMaxHttpBody = 16 * 1024 * 1024;
// Largest head (status or request line and fields, blank line included).
constexpr size_t kMaxHttpHead = 64 * 1024;

struct HttpHeadInfo {
  size_t headLen = 0;           // bytes up to and including the blank line
  int status = 0;               // a response's status code; 0 for a request
  int64_t contentLength = -1;   // -1 when the head gives none
  bool chunked = false;         // Transfer-Encoding names chunked
  bool expectContinue = false;  // Expect: 100-continue
};

// Reads the head at the start of text. 1 complete (info filled), 0 not
// complete yet, -1 malformed: no blank line within kMaxHttpHead, a
// Content-Length that is not digits only, above kMaxHttpBody, or given twice
// with different values.
int ParseHttpHead(std::string_view text, HttpHeadInfo* info);

// The value of a field in a head (first occurrence, name without regard to
// case, blanks around the value dropped); false when absent.
bool HttpHeadField(std::string_view head, std::string_view name, std::string* value);

// The chunked transfer coding, fed in pieces as they arrive.
class TagChunkProc {
 public:
  // 0 all consumed and more wanted, -2 the body ended (the last chunk, its
  // trailer fields, which are skipped, and the blank line), -1 malformed: a
  // size line without 1 to 8 hex digits (an extension after ';' is
  // allowed), data not followed by CRLF, or a body past kMaxHttpBody. After
  // -1 or -2 every further feed returns the same.
  int Feed(const char* bytes, size_t count);
  // The decoded body so far.
  const std::string& Body() const { return body_; }
  // How much of it belongs to chunks received whole (data and closing CRLF).
  size_t Completed() const {
    return state_ == State::kData || state_ == State::kDataCr || state_ == State::kDataLf ? chunkStart_
                                                                                           : body_.size();
  }
  // A size line received in part, waiting for its end.
  std::string_view PendingLine() const { return state_ == State::kSize ? std::string_view(line_) : std::string_view(); }
  bool Done() const { return state_ == State::kDone; }
  // The last chunk came; only its trailer or blank line may be missing.
  bool LastChunkSeen() const { return state_ == State::kTrailer || state_ == State::kDone; }
  // Bytes of the feed that returned -2 that belong to the body; the rest is
  // what the peer sent next.
  size_t Used() const { return used_; }

 private:
  enum class State { kSize, kData, kDataCr, kDataLf, kTrailer, kDone, kBad };
  State state_ = State::kSize;
  std::string line_;   // the size line so far
  uint64_t left_ = 0;  // bytes of the current chunk still to come
  size_t chunkStart_ = 0;  // where the current chunk's data begins in body_
  size_t used_ = 0;
  std::string body_;
};

// Splits a URL into host, port (80 unless given) and path, as the client
// uses it: no scheme is interpreted; without a '/' after the authority the
// whole URL is the path. *port is -1 when the text after ':' is not a port
// (digits only, 0..65535).
std::string SplitUrl(std::string_view url, std::string* host, int* port);
