#include "services/http.h"

#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

#include "core/log.h"
#include "platform/format.h"
#include "platform/scriptfds.h"
#include "platform/tick.h"

namespace {

constexpr int kConnectSeconds = 4;
constexpr int kClientRecvMs = 8000;
constexpr int kChunkRecvMs = 4000;
constexpr int kServerRecvMs = 20000;
// A request's head and body must all be in within this, however its bytes
// trickle in: a slow client cannot hold the line's server for ever.
constexpr int kServerRequestMs = 30000;
std::atomic<int> g_requestMs{kServerRequestMs};
constexpr int kSendMs = 20000;
constexpr int kMaxInterim = 205;
constexpr size_t kPiece = 16384;

// Received bytes a connection holds past the request just returned (the
// next pipelined request), by socket.
std::mutex g_mu;
std::map<int, std::string> g_pending;
// Port -> listening socket of the script servers.
std::map<int, int> g_ports;

std::string TakePending(int s) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_pending.find(s);
  if (it == g_pending.end()) return {};
  std::string out = std::move(it->second);
  g_pending.erase(it);
  return out;
}

void Forget(int s) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_pending.erase(s);
  for (auto it = g_ports.begin(); it != g_ports.end();)
    it = it->second == s ? g_ports.erase(it) : std::next(it);
}

// Receives until buf holds a complete head. 1 and info filled; 0 nothing
// came in time or the peer closed first; -1 malformed; -2 an error.
int RecvHead(int s, std::string* buf, HttpHeadInfo* info, int timeoutMs, const StopCheck& stop) {
  uint32_t start = plat::TickCount();
  for (;;) {
    int r = ParseHttpHead(*buf, info);
    if (r != 0) return r;
    uint32_t waited = plat::TickCount() - start;
    if (waited >= static_cast<uint32_t>(timeoutMs)) return 0;
    char piece[kPiece];
    long n = RecvWait(s, piece, sizeof piece, timeoutMs - static_cast<int>(waited), stop);
    if (n == 0 || n == -2) return 0;
    if (n < 0) return -2;
    buf->append(piece, static_cast<size_t>(n));
  }
}

// Reads a body of the announced length from what is in buf and the socket;
// buf keeps what follows it. False when it came short (out zero-filled).
bool RecvLengthBody(int s, std::string* buf, size_t len, std::string* out, int timeoutMs, const StopCheck& stop) {
  uint32_t start = plat::TickCount();
  while (buf->size() < len) {
    uint32_t waited = plat::TickCount() - start;
    if (waited >= static_cast<uint32_t>(timeoutMs)) break;
    char piece[kPiece];
    size_t want = len - buf->size() < sizeof piece ? len - buf->size() : sizeof piece;
    long n = RecvWait(s, piece, want, timeoutMs - static_cast<int>(waited), stop);
    if (n <= 0) break;
    buf->append(piece, static_cast<size_t>(n));
  }
  bool whole = buf->size() >= len;
  size_t have = whole ? len : buf->size();
  out->assign(*buf, 0, have);
  buf->erase(0, have);
  if (!whole) {
    LogAlwaysF("HTTP: short body, %d of %d bytes", static_cast<int>(have), static_cast<int>(len));
    out->resize(len, '\0');
  }
  return whole;
}

// Decodes a chunked body from buf and the socket; buf keeps what came after
// it. 1 the body ended, 0 cut short (decoded part in out), -1 malformed.
int RecvChunkedBody(int s, std::string* buf, std::string* out, int timeoutMs, const StopCheck& stop) {
  TagChunkProc chunks;
  std::string last = std::move(*buf);
  buf->clear();
  int r = chunks.Feed(last.data(), last.size());
  while (r == 0) {
    char piece[kPiece];
    long n = RecvWait(s, piece, sizeof piece, timeoutMs, stop);
    if (n <= 0) break;
    last.assign(piece, static_cast<size_t>(n));
    r = chunks.Feed(last.data(), last.size());
  }
  out->assign(chunks.Body());
  if (r == -1) return -1;
  if (r == -2) {
    buf->assign(last, chunks.Used(), std::string::npos);
    return 1;
  }
  // A peer that closed right after the last chunk, without its blank line.
  return chunks.LastChunkSeen() ? 1 : 0;
}

// The chunked body of a response, from what came with the head (buf) and
// the socket, traced step by step in the log. The body length once the last
// chunk came; when the peer goes quiet or closes first, the chunks received
// whole by then (out holds them, their length is returned); 0 when the line
// was stopped (out empty); -1 malformed.
int RecvChunkedResponse(int s, std::string* buf, std::string* out, const StopCheck& stop) {
  TagChunkProc chunks;
  Log("push 1");
  int r = buf->empty() ? 0 : chunks.Feed(buf->data(), buf->size());
  buf->clear();
  bool quiet = false;
  if (r == 0) {
    Log("push 2");
    while (r == 0) {
      char piece[kPiece];
      const size_t kept = chunks.PendingLine().size();
      long n = RecvWait(s, piece, sizeof piece, kChunkRecvMs, stop);
      if (n <= 0) {
        if (n == -2 && stop && stop()) {
          Log("isChunked Not Recv All data.");
          out->clear();
          return 0;
        }
        quiet = true;
        break;
      }
      LogF("Push3: count=%d", static_cast<int>(kept + static_cast<size_t>(n)));
      r = chunks.Feed(piece, static_cast<size_t>(n));
      LogF("   ret=%d, len=%d", r, static_cast<int>(chunks.Body().size()));
      if (r == 0 && !chunks.PendingLine().empty())
        LogF("   ret=%d, [%.*s]", r, static_cast<int>(chunks.PendingLine().size()), chunks.PendingLine().data());
    }
  }
  if (r == -1) {
    Log("push ret=-1");
    out->clear();
    return -1;
  }
  // A peer that closed right after the last chunk, without its blank line,
  // sent the whole body.
  if (r == -2 || chunks.LastChunkSeen()) {
    Log("CopyTo");
    out->assign(chunks.Body());
    return static_cast<int>(out->size());
  }
  if (quiet) Log("isChunked Recv Timeout.");
  out->assign(chunks.Body(), 0, chunks.Completed());
  return static_cast<int>(out->size());
}

bool ConnectWithStop(int* s, const std::string& host, int port, const StopCheck& stop) {
  TcpConnectState state;
  uint32_t start = plat::TickCount();
  for (;;) {
    int r = TcpConnectAsync(s, host, port, &state);
    if (r > 0) return true;
    if (r < 0) return false;
    if (plat::TickCount() - start > kConnectSeconds * 1000u || (stop && stop())) {
      CloseSocket(state.socket);
      return false;
    }
    std::vector<int> ready;
    SocketsWait({state.socket}, {kSocketWritable}, 20, &ready);
  }
}

bool HasClose(std::string_view head) { return head.find("close") != std::string_view::npos; }

}  // namespace

std::string HttpRequestHead(const std::string& method, const std::string& path, const std::string& host, int port,
                            size_t bodyLen, const std::string& contentType) {
  std::string m = method.size() >= 80 ? method.substr(0, 20) : method;
  for (char& c : m) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string head = m + " " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                     "\r\nConnection: close\r\nUser-Agent: CorvaneHttp/1.0\r\nAccept: */*\r\n";
  if (bodyLen > 0)
    head += "Content-type: " + contentType + "\r\nContent-Length: " + std::to_string(bodyLen) + "\r\n\r\n";
  else
    head += "\r\n";
  return head;
}

int HtmlRecv(const std::string& url, const std::string& method, std::string_view body,
             const std::string& contentType, HttpResult* out, const StopCheck& stop) {
  out->head.clear();
  out->body.clear();
  std::string host;
  int port = 80;
  std::string path = SplitUrl(url, &host, &port);
  int s = kNoSocket;
  if (port <= 0 || !ConnectWithStop(&s, host, port, stop)) {
    LogF("HTTP: Connect '%s:%d' Failed!", host.c_str(), port);
    return -1;
  }
  // Head and body in one write: no wait for an acknowledgement between them.
  std::string request = HttpRequestHead(method, path, host, port, body.size(), contentType);
  request.append(body);
  size_t sent = SendAllUntil(s, request.data(), request.size(), kSendMs, stop);
  if (sent < request.size()) {
    LogAlwaysF("HTTP: send('%.200s') Failed, %d", request.c_str(), static_cast<int>(sent));
    CloseSocket(s);
    return -2;
  }
  std::string buf;
  HttpHeadInfo info;
  int r = 0;
  for (int heads = 0; heads < kMaxInterim; ++heads) {
    r = RecvHead(s, &buf, &info, kClientRecvMs, stop);
    if (r <= 0) break;
    // An interim response (100 Continue and the like) precedes the final one.
    if (info.status >= 100 && info.status < 200 && info.status != 101) {
      buf.erase(0, info.headLen);
      continue;
    }
    break;
  }
  LogAlwaysF("HtmlRecv: (hd='%d') : %d", s, static_cast<int>(buf.size()));
  if (r <= 0 || (info.status >= 100 && info.status < 200 && info.status != 101)) {
    if (r == 0) Log("Recv Head Failed.");
    CloseSocket(s);
    return r < 0 ? -2 : 0;
  }
  out->head.assign(buf, 0, info.headLen);
  buf.erase(0, info.headLen);
  int result;
  if (info.chunked) {
    result = RecvChunkedResponse(s, &buf, &out->body, stop);
    if (result < 0) result = -2;
  } else if (info.contentLength > 0) {
    RecvLengthBody(s, &buf, static_cast<size_t>(info.contentLength), &out->body, kClientRecvMs, stop);
    result = static_cast<int>(info.contentLength);
  } else {
    result = 0;
  }
  CloseSocket(s);
  Log("HttpProc end.");
  return result;
}

int HttpServerOpen(int port, int ownerLine) {
  int s = kNoSocket;
  if (InitTcp(port, &s, 10) != 0) return -1;
  ScriptFdAdd(s, ownerLine, ScriptFdKind::kHttp);
  std::lock_guard<std::mutex> lock(g_mu);
  g_ports[port] = s;
  g_pending.erase(s);
  return s;
}

int HttpServerSetRequestLimit(int ms) { return g_requestMs.exchange(ms > 0 ? ms : kServerRequestMs); }

int HttpServerRecv(int socket, int ownerLine, HttpRequest* out, const StopCheck& stop) {
  out->head.clear();
  out->body.clear();
  out->peer.clear();
  if (!ScriptFdKnown(socket, ScriptFdKind::kHttp)) return -2;
  int conn = socket;
  std::string buf;
  if (IsListeningSocket(socket)) {
    int ready = SocketReadable(socket);
    if (ready == 0) return -1;
    if (ready < 0) return -2;
    conn = AcceptClient(socket, &out->peer);
    if (conn < 0) return -1;
    ScriptFdAdd(conn, ownerLine, ScriptFdKind::kHttp);
  } else {
    buf = TakePending(socket);
    if (buf.empty()) {
      int ready = SocketReadable(socket);
      if (ready == 0) return -1;
      if (ready < 0) return -2;
    }
  }
  auto fail = [&] {
    HttpServerClose(conn, ownerLine);
    return -1;
  };
  const uint32_t start = plat::TickCount();
  const uint32_t limit = static_cast<uint32_t>(g_requestMs.load());
  auto late = [&] { return plat::TickCount() - start >= limit; };
  const StopCheck stopOrLate = [&] { return late() || (stop && stop()); };
  HttpHeadInfo info;
  int r = RecvHead(conn, &buf, &info, kServerRecvMs, stopOrLate);
  if (r <= 0) return fail();
  out->head.assign(buf, 0, info.headLen);
  buf.erase(0, info.headLen);
  // A client that waits for leave to send its body gets it at once.
  if (info.expectContinue && buf.empty() && (info.contentLength > 0 || info.chunked)) {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    SendAllUntil(conn, kContinue, sizeof kContinue - 1, kSendMs, stop);
  }
  if (info.chunked) {
    if (RecvChunkedBody(conn, &buf, &out->body, kServerRecvMs, stopOrLate) != 1) {
      LogAlways("HttpServerRecv: bad or cut chunked body");
      return fail();
    }
  } else if (info.contentLength > 0) {
    RecvLengthBody(conn, &buf, static_cast<size_t>(info.contentLength), &out->body, kServerRecvMs, stopOrLate);
  }
  if (late()) {
    LogAlwaysF("HttpServerRecv: request not complete within %u ms", limit);
    return fail();
  }
  if (!buf.empty()) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_pending[conn] = std::move(buf);
  }
  return conn;
}

std::string HttpDefaultHead(size_t bodyLen) {
  char date[64] = "";
  time_t now = time(nullptr);
  tm t{};
  gmtime_r(&now, &t);
  // English names whatever locale the toolkit set.
  strftime_l(date, sizeof date, "%a, %d %b %Y %T GMT", &t, plat::CLocale());
  return std::string(
             "HTTP/1.1 200 OK\r\nServer: CorvaneVintaro/1.7\r\nAccept-Ranges: bytes\r\nConnection: close\r\n"
             "Content-Type: */*\r\nLast-Modified: ") +
         date + "\r\nContent-Length: " + std::to_string(bodyLen) + "\r\n\r\n";
}

std::string HttpCompleteHead(std::string_view head, size_t bodyLen) {
  if (head.find("\r\n\r\n") != std::string_view::npos) return std::string(head);
  std::string out(head);
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n')) out.pop_back();
  out += "\r\n";
  if (!HttpHeadField(out + "\r\n", "Content-Length", nullptr))
    out += "Content-Length: " + std::to_string(bodyLen) + "\r\n";
  out += "\r\n";
  return out;
}

int HttpServerSend(int socket, int ownerLine, std::string_view head, std::string_view body, const StopCheck& stop) {
  if (!ScriptFdKnown(socket, ScriptFdKind::kHttp)) return -1;
  if (head.empty() && body.empty()) {
    HttpServerClose(socket, ownerLine);
    return 0;
  }
  std::string wire = head.empty() ? HttpDefaultHead(body.size()) : HttpCompleteHead(head, body.size());
  const bool closeAfter = HasClose(wire);
  const size_t headLen = wire.size();
  wire.append(body);
  size_t sent = SendAllUntil(socket, wire.data(), wire.size(), kSendMs, stop);
  if (sent < wire.size()) {
    LogAlwaysF("HttpServerSend: %d of %d bytes sent", static_cast<int>(sent), static_cast<int>(wire.size()));
    HttpServerClose(socket, ownerLine);
    return -1;
  }
  if (closeAfter) HttpServerClose(socket, ownerLine);
  return static_cast<int>(body.empty() ? headLen : body.size());
}

bool HttpServerClose(int socket, int ownerLine) {
  // Forgotten before the number is freed for someone else to take.
  if (!ScriptFdKnown(socket, ScriptFdKind::kHttp)) return false;
  Forget(socket);
  return ScriptFdCloseKnown(socket, ScriptFdKind::kHttp);
}
