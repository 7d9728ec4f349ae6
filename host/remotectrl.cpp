#include "host/remotectrl.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/log.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "platform/socketbase.h"

namespace {

// Two-byte fields of the protocol.
constexpr int kMaxProtocolLines = 0xFFFF;

void PutU16(std::string& f, unsigned v) {
  f.push_back(static_cast<char>(v & 0xFF));
  f.push_back(static_cast<char>((v >> 8) & 0xFF));
}

}  // namespace

std::string RemoteConnCountText(int count, int language) {
  char buf[128];
  if (language == 1) {
    snprintf(buf, sizeof buf, "MonitorServer Running, Conn Num: %d", count);
  } else {
    snprintf(buf, sizeof buf, GBK("远程监控服务已经启动, 当前连接数: %d").c_str(), count);
  }
  return buf;
}

// --- one console -----------------------------------------------------------------

TagRemoteConn::TagRemoteConn(int socket, std::string address, int lines)
    : socket_(socket),
      address_(std::move(address)),
      lines_(std::clamp(lines, 0, kMaxProtocolLines)),
      cells_(static_cast<size_t>(lines_) * kCellCount) {}

TagRemoteConn::~TagRemoteConn() { CloseSocket(socket_); }

int TagRemoteConn::ReadRequest(uint64_t* partial) {
  if (!Alive()) return -1;
  int r = SocketReadable(socket_);
  if (r < 0) {
    Kill();
    return -1;
  }
  if (r == 0) return 0;
  char buf[5];
  ssize_t n;
  do {
    n = recv(socket_, buf, sizeof buf, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  if (n <= 0) {
    Kill();
    return -1;
  }
  if (n == 5) return 1;
  if (partial) ++*partial;
  return 0;
}

// --- the server -------------------------------------------------------------------

TagRemoteCtrl::TagRemoteCtrl(int lines, int port, int maxClients, std::shared_ptr<TagMonitor> monitor)
    : lines_(std::clamp(lines, 0, kMaxProtocolLines)), port_(port), maxClients_(maxClients), monitor_(std::move(monitor)) {
  NetStartup();
  if (monitor_) monitor_->AttachSink(this);
  if (maxClients_ <= 0) {
    // MONITOR_PORT alone serves nothing: say why, for the operator who set it.
    LogAlwaysF("Remote monitor off: MONITOR_MAX_CONN is %d (1 to 10 consoles serves MONITOR_PORT %d)", maxClients_,
               port);
    return;
  }
  if (InitTcp(port, &listen_, 10) != 0) {
    LogAlwaysF("Remote monitor off: port %d cannot be opened", port);
    listen_ = kNoSocket;
    return;
  }
  port_ = SocketLocalPort(listen_);
  LogF("hTcpSocket=%d...", listen_);
  serving_ = acceptThread_.Start([this] { ListenTcpThread(); }, plat::Thread::kLineStack);
  if (serving_ && !pollThread_.Start([this] { RemoteCtrlThread(); }, plat::Thread::kLineStack)) {
    stop_.store(true);
    acceptThread_.Join();
    serving_ = false;
  }
  if (!serving_) {
    CloseSocket(listen_);
    listen_ = kNoSocket;
    return;
  }
  Log("MonitorServer Running.");
  LogAlwaysF("Remote monitor on port %d for %d consoles", port_, maxClients_);
}

TagRemoteCtrl::~TagRemoteCtrl() {
  // No line thread marks a cell once this returns.
  if (monitor_) monitor_->DetachSink(this);
  stop_.store(true);
  acceptThread_.Join();
  pollThread_.Join();
  CloseSocket(listen_);
  listen_ = kNoSocket;
  std::map<int, ConnPtr> gone;
  {
    std::lock_guard<std::mutex> l(lock_);
    gone.swap(table_);
  }
  gone.clear();
  connCount_.store(0);
  Log("~TagRemoteCtrl.");
}

void TagRemoteCtrl::MarkCell(int line, int cell, int fg, int bg) {
  if (line < 0 || cell < 0 || cell >= kCellCount) return;
  std::lock_guard<std::mutex> l(lock_);
  for (auto& [socket, conn] : table_) {
    if (line >= conn->lines_) continue;
    TagRemoteConn::RemoteCell& c = conn->cells_[static_cast<size_t>(line) * kCellCount + cell];
    c.changed = 1;
    c.fg = static_cast<uint8_t>(fg);
    c.bg = static_cast<uint8_t>(bg);
  }
}

void TagRemoteCtrl::SetStatusText(std::string_view text) {
  std::lock_guard<std::mutex> l(statusLock_);
  status_.assign(text.substr(0, kStatusMax));
}

std::string TagRemoteCtrl::GetStatusText() const {
  std::lock_guard<std::mutex> l(statusLock_);
  return status_;
}

void TagRemoteCtrl::ListenTcpThread() {
  LogF("TagRemoteCtrl::ListenTcpThread(hd=%d)...", listen_);
  while (!stop_.load()) {
    int r = SocketWaitReadable(listen_, 120);
    if (r <= 0) {
      if (r < 0) plat::SleepMs(120);
      continue;
    }
    std::string address;
    int s = AcceptClient(listen_, &address);
    const int err = errno;
    if (s < 0 && AcceptOutOfResources(err)) {
      // The connection stays pending while descriptors are short: wait for
      // some to come back rather than retry at once.
      for (int waited = 0; waited < 1000 && !stop_.load(); waited += 100) plat::SleepMs(100);
      continue;
    }
    LogF("ListenConnect(hd=%d, ip=%s)...", s, address.c_str());
    if (s >= 0 && AddConn(s, address) != 0) CloseSocket(s);
  }
  CloseSocket(listen_);
  listen_ = kNoSocket;
  Log("TagRemoteCtrl::ListenTcpThread() End.");
}

int TagRemoteCtrl::AddConn(int socket, const std::string& acceptedAddress) {
  std::string address = PeerAddress(socket);
  if (address.empty()) address = acceptedAddress;
  Log(address);
  // One console per address: a console that reconnects replaces its old
  // connection. The old one leaves the table now; its socket closes when
  // the poll thread, if it is serving it, lets go.
  ConnPtr old;
  {
    std::lock_guard<std::mutex> l(lock_);
    for (auto& [s, c] : table_) {
      if (c->address_ == address) {
        old = c;
        break;
      }
    }
  }
  if (old) DelConn(old);

  std::unique_lock<std::mutex> l(lock_);
  if (table_.count(socket) || static_cast<int>(table_.size()) >= maxClients_) return -1;
  // A bounded send buffer: a console that stops reading shows as a short
  // send within the time-out instead of megabytes of queued frames.
  int sndbuf = 64 * 1024;
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  auto conn = std::make_shared<TagRemoteConn>(socket, address, lines_);
  for (int line = 0; line < conn->lines_; ++line) {
    auto sc = monitor_ ? monitor_->GetStateColors(line) : std::make_pair(0, 15);
    auto uc = monitor_ ? monitor_->GetUserColors(line) : std::make_pair(0, 15);
    for (int cell = 0; cell < kCellCount; ++cell) {
      auto& c = conn->cells_[static_cast<size_t>(line) * kCellCount + cell];
      auto colors = cell >= kCellUser0 ? uc : sc;
      c.changed = 1;
      c.fg = static_cast<uint8_t>(colors.first);
      c.bg = static_cast<uint8_t>(colors.second);
    }
  }
  table_[socket] = conn;
  int count = static_cast<int>(table_.size());
  l.unlock();
  connCount_.store(count);
  LogF("Monitor Conneted: %s, hd=%d", address.c_str(), socket);
  return 0;
}

void TagRemoteCtrl::DelConn(const ConnPtr& conn) {
  int count;
  {
    std::lock_guard<std::mutex> l(lock_);
    auto it = table_.find(conn->socket_);
    if (it == table_.end() || it->second != conn) return;
    table_.erase(it);
    count = static_cast<int>(table_.size());
  }
  conn->Kill();
  LogF("Monitor Disconneted: %s", conn->address_.c_str());
  connCount_.store(count);
}

std::string TagRemoteCtrl::BuildFrame(TagRemoteConn& conn) {
  std::string status = GetStatusText();
  const size_t tail = 5 + status.size() + 1;
  std::string f;
  f.reserve(1024);
  f.append(4, '\0');
  PutU16(f, static_cast<unsigned>(conn.lines_));
  {
    std::lock_guard<std::mutex> l(lock_);
    bool full = false;
    for (int line = 0; line < conn.lines_ && !full; ++line) {
      for (int cell = 0; cell < kCellCount; ++cell) {
        auto& c = conn.cells_[static_cast<size_t>(line) * kCellCount + cell];
        if (!c.changed) continue;
        std::string text = monitor_ ? monitor_->GetCellText(line, cell) : std::string();
        // The text ends at its first NUL on the wire anyway.
        text = text.substr(0, std::min(text.find('\0'), kCellTextMax));
        size_t rec = 5 + text.size() + 1;
        if (f.size() + rec + tail >= kFrameLimit) {
          full = true;
          break;
        }
        c.changed = 0;
        PutU16(f, static_cast<unsigned>(line));
        f.push_back(static_cast<char>(cell));
        f.push_back(static_cast<char>(c.fg));
        f.push_back(static_cast<char>(c.bg));
        f.append(text);
        f.push_back('\0');
      }
    }
  }
  f.append("\xFF\xFF\xFF\x00\x00", 5);
  f.append(status.substr(0, status.find('\0')));
  f.push_back('\0');
  uint32_t len = static_cast<uint32_t>(f.size() - 4);
  for (int i = 0; i < 4; ++i) f[i] = static_cast<char>((len >> (8 * i)) & 0xFF);
  return f;
}

int TagRemoteCtrl::SendUpdate(TagRemoteConn& conn) {
  std::string frame = BuildFrame(conn);
  size_t sent = SendAll(conn.socket_, frame.data(), frame.size(), kSendTimeoutMs, &stop_);
  if (sent < frame.size()) {
    conn.Kill();
    return -2;
  }
  framesSent_.fetch_add(1);
  return 0;
}

void TagRemoteCtrl::RemoteCtrlThread() {
  Log("RemoteCtrlThread()...");
  while (!stop_.load()) {
    std::vector<ConnPtr> copy;
    {
      std::lock_guard<std::mutex> l(lock_);
      copy.reserve(table_.size());
      for (auto& [s, c] : table_) copy.push_back(c);
    }
    for (const ConnPtr& c : copy) {
      if (stop_.load()) break;
      if (!c->Alive()) {
        DelConn(c);
        continue;
      }
      uint64_t partial = 0;
      if (c->ReadRequest(&partial) == 1) SendUpdate(*c);
      if (partial) partials_.fetch_add(partial);
    }
    copy.clear();
    plat::SleepMs(80);
  }
  Log("RemoteCtrlThread() End.");
}
