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

inline bool RecvFrame(int fd, std::string* body, int timeoutMs) {
  std::string head(4, '\0');
  if (!RecvAll(fd, head.data(), 4, timeoutMs)) return false;
  Reader r(head);
  int32_t n = 0;
  r.Int(&n);
  if (n < 0 || static_cast<uint32_t>(n) > kMaxFrame) return false;
  body->assign(static_cast<size_t>(n), '\0');
  return RecvAll(fd, body->data(), body->size(), timeoutMs);
}

}  // namespace qelwire
