// Our gateway library: the thirteen calls of the gateway client, as a thin
// client of the gateway daemon (qeldbgwd) on TCP. A handle is one daemon
// connection holding the whole last result; every text written out is
// bounded (values 4,099 bytes + NUL, names and errors 2,047 + NUL).
#include <netdb.h>
#include <strings.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/qeldb/wire.h"

namespace {

constexpr size_t kValueMax = 4099;
constexpr size_t kTextMax = 2047;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kIoTimeoutMs = 60000;

struct Conn {
  int fd = -1;
  std::vector<qelwire::Column> cols;
  std::vector<std::string> cells;  // rows x cols
  int rows = 0;
  int current = 0;  // 0-based row of the cursor
  ~Conn() {
    if (fd >= 0) close(fd);
  }
};

std::mutex g_lock;
std::map<int, std::shared_ptr<Conn>> g_conns;
int g_next = 1;

std::shared_ptr<Conn> Find(int h) {
  std::lock_guard<std::mutex> g(g_lock);
  auto it = g_conns.find(h);
  return it == g_conns.end() ? nullptr : it->second;
}

void Put(char* out, const std::string& s, size_t max) {
  if (!out) return;
  const size_t n = s.size() < max ? s.size() : max;
  std::memcpy(out, s.data(), n);
  out[n] = '\0';
}

int Dial(const char* host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host && *host ? host : "127.0.0.1", service.c_str(), &hints, &res) != 0 || !res) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int rc = fd < 0 ? -1 : connect(fd, res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (fd < 0) return -1;
  if (rc != 0 && errno == EINPROGRESS && qelwire::WaitReady(fd, POLLOUT, kConnectTimeoutMs)) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    rc = err == 0 ? 0 : -1;
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

extern "C" {

int QelDbInit() { return 0; }
int QelDbFree() { return 0; }

int QelDbOpen(const char* host, int port, const char* db, const char* user, const char* pwd) {
  auto c = std::make_shared<Conn>();
  c->fd = Dial(host, port);
  if (c->fd < 0) return 0;
  qelwire::Writer w;
  w.Int(qelwire::kOpen);
  w.Str(db ? db : "");
  w.Str(user ? user : "");
  w.Str(pwd ? pwd : "");
  std::string reply;
  if (!qelwire::SendFrame(c->fd, w.Body(), kIoTimeoutMs) || !qelwire::RecvFrame(c->fd, &reply, kIoTimeoutMs))
    return 0;
  qelwire::Reader r(reply);
  int32_t ok = -1;
  if (!r.Int(&ok) || ok != 0) return 0;
  std::lock_guard<std::mutex> g(g_lock);
  const int h = g_next++;
  if (g_next <= 0) g_next = 1;
  g_conns[h] = c;
  return h;
}

void QelDbClose(int h) {
  std::lock_guard<std::mutex> g(g_lock);
  g_conns.erase(h);
}

int QelDbExec(int h, const char* sql, int* retCode, char* errText) {
  if (retCode) *retCode = -1;
  Put(errText, "", kTextMax);
  auto c = Find(h);
  if (!c || c->fd < 0) {
    Put(errText, "no such gateway connection", kTextMax);
    return -2;
  }
  c->cols.clear();
  c->cells.clear();
  c->rows = 0;
  c->current = 0;
  qelwire::Writer w;
  w.Int(qelwire::kExec);
  w.Str(sql ? sql : "");
  std::string reply;
  if (!qelwire::SendFrame(c->fd, w.Body(), kIoTimeoutMs) || !qelwire::RecvFrame(c->fd, &reply, kIoTimeoutMs)) {
    close(c->fd);
    c->fd = -1;
    Put(errText, "connection to the gateway lost", kTextMax);
    return -2;
  }
  qelwire::ExecReply rep;
  if (!qelwire::ParseExecReply(reply, &rep)) {
    Put(errText, "bad reply from the gateway", kTextMax);
    return -3;
  }
  if (retCode) *retCode = rep.retCode;
  Put(errText, rep.error, kTextMax);
  if (rep.result < 0) return rep.result;
  c->cols = std::move(rep.cols);
  c->cells = std::move(rep.cells);
  c->rows = rep.rows;
  return rep.result;
}

int QelDbRows(int h) {
  auto c = Find(h);
  return c ? c->rows : -1;
}

int QelDbCols(int h) {
  auto c = Find(h);
  return c ? static_cast<int>(c->cols.size()) : -1;
}

int QelDbGetColInfoByIndex(int h, int col, char* name, int* width, int* type, int* scale) {
  Put(name, "", kTextMax);
  auto c = Find(h);
  if (!c || col < 0 || col >= static_cast<int>(c->cols.size())) return -1;
  const qelwire::Column& k = c->cols[static_cast<size_t>(col)];
  Put(name, k.name, kTextMax);
  if (width) *width = k.width;
  if (type) *type = k.type;
  if (scale) *scale = k.scale;
  return col;
}

int QelDbGetColInfoByName(int h, const char* name, int* width, int* type, int* scale) {
  auto c = Find(h);
  if (!c || !name) return -1;
  for (size_t i = 0; i < c->cols.size(); ++i) {
    if (strcasecmp(c->cols[i].name.c_str(), name) != 0) continue;
    if (width) *width = c->cols[i].width;
    if (type) *type = c->cols[i].type;
    if (scale) *scale = c->cols[i].scale;
    return static_cast<int>(i);
  }
  return -1;
}

int QelDbNext(int h) {
  auto c = Find(h);
  if (!c || c->current >= c->rows) return -1;
  ++c->current;
  return c->current < c->rows ? 0 : -1;
}

int QelDbGotoRec(int h, int row) {
  auto c = Find(h);
  if (!c || row < 1 || row > c->rows) return -1;
  c->current = row - 1;
  return 0;
}

int QelDbGetValByIndex(int h, int col, char* value) {
  Put(value, "", kValueMax);
  auto c = Find(h);
  if (!c || col < 0 || col >= static_cast<int>(c->cols.size()) || c->current < 0 || c->current >= c->rows) return -1;
  Put(value, c->cells[static_cast<size_t>(c->current) * c->cols.size() + static_cast<size_t>(col)], kValueMax);
  return 0;
}

int QelDbGetValByName(int h, const char* name, char* value) {
  Put(value, "", kValueMax);
  const int col = QelDbGetColInfoByName(h, name, nullptr, nullptr, nullptr);
  return col < 0 ? -1 : QelDbGetValByIndex(h, col, value);
}

}  // extern "C"
