#pragma once
// The gateway's wire format, shared by the daemon and our gateway library:
// frames of a 4-byte little-endian length and a body; a body is a sequence
// of 4-byte integers and length-prefixed byte strings. Requests start with
// an operation code; replies carry whole results.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace qelwire {

enum Op : int32_t { kOpen = 1, kExec = 2, kClose = 3 };

// Largest frame either side accepts.
constexpr uint32_t kMaxFrame = 256u * 1024 * 1024;

class Writer {
 public:
  void Int(int32_t v) {
    for (int i = 0; i < 4; ++i) body_.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xff));
  }
  void Str(const std::string& s) {
    Int(static_cast<int32_t>(s.size()));
    body_ += s;
  }
  const std::string& Body() const { return body_; }

 private:
  std::string body_;
};

class Reader {
 public:
  explicit Reader(const std::string& body) : b_(body) {}
  bool Int(int32_t* v) {
    if (b_.size() - at_ < 4) return false;
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(static_cast<unsigned char>(b_[at_ + i])) << (8 * i);
    at_ += 4;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool Str(std::string* s) {
    int32_t n = 0;
    if (!Int(&n) || n < 0 || b_.size() - at_ < static_cast<size_t>(n)) return false;
    s->assign(b_, at_, static_cast<size_t>(n));
    at_ += static_cast<size_t>(n);
    return true;
  }

 private:
  const std::string& b_;
  size_t at_ = 0;
};

struct Column {
  std::string name;
  int32_t width = 0, type = 0, scale = 0;
};

// The daemon's answer to a statement: result, return code and error text;
// on success the columns and the cells, rows x columns.
struct ExecReply {
  int32_t result = -1, retCode = -1;
  std::string error;
  std::vector<Column> cols;
  std::vector<std::string> cells;
  int rows = 0;
};

// False when the head is cut short; a short body keeps the whole rows read.
inline bool ParseExecReply(const std::string& body, ExecReply* out) {
  *out = ExecReply();
  Reader r(body);
  if (!r.Int(&out->result) || !r.Int(&out->retCode) || !r.Str(&out->error)) return false;
  if (out->result < 0) return true;
  int32_t ncols = 0, nrows = 0;
  if (!r.Int(&ncols) || !r.Int(&nrows) || ncols < 0 || nrows < 0) return true;
  for (int32_t i = 0; i < ncols; ++i) {
    Column c;
    if (!r.Str(&c.name) || !r.Int(&c.width) || !r.Int(&c.type) || !r.Int(&c.scale)) return true;
    out->cols.push_back(std::move(c));
  }
  if (ncols == 0) return true;
  // Cells are read as they come, never reserved from the counts given.
  const uint64_t want = static_cast<uint64_t>(nrows) * static_cast<uint64_t>(ncols);
  for (uint64_t i = 0; i < want; ++i) {
    std::string v;
    if (!r.Str(&v)) break;
    out->cells.push_back(std::move(v));
  }
  out->rows = static_cast<int>(out->cells.size() / static_cast<size_t>(ncols));
  out->cells.resize(static_cast<size_t>(out->rows) * static_cast<size_t>(ncols));
  return true;
}

// Waits up to timeoutMs for the socket to be ready for events.
inline bool WaitReady(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = poll(&p, 1, timeoutMs);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

inline bool SendAll(int fd, const char* p, size_t n, int timeoutMs) {
  while (n > 0) {
    if (!WaitReady(fd, POLLOUT, timeoutMs)) return false;
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

inline bool RecvAll(int fd, char* p, size_t n, int timeoutMs) {
  while (n > 0) {
    if (!WaitReady(fd, POLLIN, timeoutMs)) return false;
    const ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

inline bool SendFrame(int fd, const std::string& body, int timeoutMs) {
  Writer len;
  len.Int(static_cast<int32_t>(body.size()));
  return SendAll(fd, len.Body().data(), 4, timeoutMs) && SendAll(fd, body.data(), body.size(), timeoutMs);
}

// A frame of at most maxLen bytes. The body grows as its bytes arrive, so an
// announced length costs nothing until the peer really sends it.
inline bool RecvFrame(int fd, std::string* body, int timeoutMs, uint32_t maxLen = kMaxFrame) {
  std::string head(4, '\0');
  if (!RecvAll(fd, head.data(), 4, timeoutMs)) return false;
  Reader r(head);
  int32_t n = 0;
  r.Int(&n);
  if (n < 0 || static_cast<uint32_t>(n) > maxLen) return false;
  constexpr size_t kStep = 64 * 1024;
  const size_t want = static_cast<size_t>(n);
  body->clear();
  while (body->size() < want) {
    const size_t at = body->size();
    const size_t step = want - at < kStep ? want - at : kStep;
    body->resize(at + step);
    if (!RecvAll(fd, body->data() + at, step, timeoutMs)) return false;
  }
  return true;
}

}  // namespace qelwire
