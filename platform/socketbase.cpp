#include "platform/socketbase.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/faults.h"
#include "platform/format.h"
#include "platform/logsink.h"
#include "platform/msgbox.h"
#include "platform/tick.h"

using plat::LogAlways;
using plat::LogF;
using plat::RawLog;

namespace {

std::atomic<bool> g_started{false};

using plat::Format;

// poll() with a timeout below a millisecond.
int PollOne(int socket, short events, const timespec& wait, short* revents) {
  if (socket < 0) return -1;
  pollfd p{socket, events, 0};
  int rc;
  do {
    rc = ppoll(&p, 1, &wait, nullptr);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  *revents = rc == 0 ? 0 : p.revents;
  return 0;
}

int Readiness(int socket, short events, const timespec& wait) {
  short rev = 0;
  if (PollOne(socket, events, wait, &rev) < 0) return -1;
  if (rev & POLLNVAL) return -1;
  if (events & POLLIN) {
    // Data or an orderly close: the receive that follows tells which.
    if (rev & (POLLIN | POLLHUP)) return 1;
    if (rev & POLLERR) return -1;
    return 0;
  }
  if (rev & POLLERR) return -1;
  if (rev & POLLOUT) return 1;
  if (rev & POLLHUP) return -1;
  return 0;
}

constexpr timespec k20us{0, 20 * 1000};

}  // namespace

int NetStartup() {
  if (g_started.load()) return 0;
  RawLog(Format("WSAStartup(WINSOCK_VERSION=0x%x)", 0x202));
  // A peer that closes must never kill the process through a send.
  signal(SIGPIPE, SIG_IGN);
  RawLog("WSAStartup OK.");
  g_started.store(true);
  return 0;
}

int UdpStartup() {
  if (g_started.load()) return 0;
  signal(SIGPIPE, SIG_IGN);
  g_started.store(true);
  return 0;
}

void NetCleanup() { g_started.store(false); }

bool ValidPort(int port) { return port >= 0 && port <= 65535; }

bool NetStarted() { return g_started.load(); }

int SocketReadable(int socket) { return Readiness(socket, POLLIN, k20us); }

int SocketWritable(int socket) { return Readiness(socket, POLLOUT, k20us); }

int SocketWaitReadable(int socket, int timeoutMs) {
  if (timeoutMs < 0) timeoutMs = 0;
  timespec t{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
  return Readiness(socket, POLLIN, t);
}

int InitTcp(int port, int* outSocket, int backlog) {
  RawLog(Format("InitTcp(port=%d, maxListen=%d)", port, backlog));
  if (!ValidPort(port)) {
    // Cut to 16 bits it would name another port (65616 would be 80).
    plat::MessageBox("Server: bind()...", Format("Error #%d occurred while bind socket! port=[%d]", EINVAL, port),
                     plat::kBoxIconError);
    return -4;
  }
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    plat::MessageBox("InitTcp: socket()...", Format("Error #%d occurred while creating socket!!", errno),
                     plat::kBoxIconError);
    return -3;
  }
  RawLog(Format("socket() OK. hd=%d", s));
  // A restarted server must get its port back while old connections linger
  // in TIME_WAIT; a port with a live listener still fails to bind.
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    int e = errno;
    close(s);
    plat::MessageBox("Server: bind()...", Format("Error #%d occurred while bind socket! port=[%d]", e, port),
                     plat::kBoxIconError);
    return -4;
  }
  RawLog("bind() OK.");
  if (listen(s, backlog) != 0) {
    int e = errno;
    close(s);
    plat::MessageBox("InitTcp", Format("Error #%d occurred while lisent() socket!!", e), plat::kBoxIconError);
    return -5;
  }
  RawLog("listen() OK.");
  *outSocket = s;
  return 0;
}

int SocketLocalPort(int socket) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

bool AcceptOutOfResources(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

int AcceptClient(int listenSocket, std::string* addressText) {
  if (addressText) addressText->clear();
  LogF("accept(hd=0x%x), sizof=%d...", listenSocket, 16);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int s;
  do {
    s = plat::faults::Hit(plat::faults::Op::kAccept)
            ? -1
            : accept4(listenSocket, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  if (s < 0) {
    int e = errno;
    // Out of descriptors the same connection fails again at every try: say
    // so at most once a second.
    static std::atomic<uint32_t> lastShortage{0};
    static std::atomic<bool> shortageSaid{false};
    bool quiet = false;
    if (AcceptOutOfResources(e)) {
      const uint32_t now = plat::TickCount();
      quiet = shortageSaid.load() && now - lastShortage.load() < 1000;
      if (!quiet) {
        lastShortage.store(now);
        shortageSaid.store(true);
      }
    }
    if (!quiet) {
      RawLog("accept(): INVALID_SOCKET.");
      std::string text = Format("Error #%d occurred while accept() socket!!", e);
      RawLog(text);
      LogAlways(text);
    }
    errno = e;
    return -1;
  }
  char dotted[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof dotted);
  if (addressText) *addressText = dotted;
  LogF("remoteAddr: '%s:%d'", dotted, ntohs(a.sin_port));
  LogF("accept(): OK, subSkt=0x%x.", s);
  return s;
}

std::string PeerAddress(int socket) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return {};
  char dotted[INET_ADDRSTRLEN] = "";
  if (!inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof dotted)) return {};
  return dotted;
}

size_t SendAllUntil(int socket, const void* data, size_t len, int timeoutMs, const StopCheck& stop) {
  if (timeoutMs < 0) timeoutMs = 0;
  const char* p = static_cast<const char*>(data);
  size_t sent = 0;
  uint32_t start = plat::TickCount();
  while (sent < len) {
    ssize_t n = send(socket, p + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    uint32_t waited = plat::TickCount() - start;
    if (waited >= static_cast<uint32_t>(timeoutMs) || (stop && stop())) break;
    short rev = 0;
    uint32_t left = static_cast<uint32_t>(timeoutMs) - waited;
    uint32_t step = left < static_cast<uint32_t>(kWaitSliceMs) ? left : static_cast<uint32_t>(kWaitSliceMs);
    timespec t{0, static_cast<long>(step) * 1000000L};
    if (PollOne(socket, POLLOUT, t, &rev) < 0 || (rev & (POLLERR | POLLNVAL | POLLHUP))) break;
  }
  return sent;
}

size_t SendAll(int socket, const void* data, size_t len, int timeoutMs, const std::atomic<bool>* cancel) {
  return SendAllUntil(socket, data, len, timeoutMs, [cancel] { return cancel && cancel->load(); });
}

long RecvWait(int socket, void* buf, size_t len, int timeoutMs, const StopCheck& stop) {
  if (socket < 0) return -1;
  if (timeoutMs < 0) timeoutMs = 0;
  uint32_t start = plat::TickCount();
  for (;;) {
    ssize_t n;
    do {
      n = recv(socket, buf, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    uint32_t waited = plat::TickCount() - start;
    if (waited >= static_cast<uint32_t>(timeoutMs) || (stop && stop())) return -2;
    uint32_t left = static_cast<uint32_t>(timeoutMs) - waited;
    uint32_t step = left < static_cast<uint32_t>(kWaitSliceMs) ? left : static_cast<uint32_t>(kWaitSliceMs);
    short rev = 0;
    timespec t{0, static_cast<long>(step) * 1000000L};
    if (PollOne(socket, POLLIN, t, &rev) < 0 || (rev & POLLNVAL)) return -1;
  }
}

bool IsListeningSocket(int socket) {
  int on = 0;
  socklen_t len = sizeof on;
  return socket >= 0 && getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

bool ResolveHost(const std::string& host, uint32_t* addr) {
  in_addr in{};
  if (inet_pton(AF_INET, host.c_str(), &in) == 1) {
    *addr = in.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* first = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &first) != 0 || !first) {
    LogF("IpAddr Err1: %s", host.c_str());
    return false;
  }
  std::string canon = first->ai_canonname ? first->ai_canonname : host;
  freeaddrinfo(first);
  hints.ai_flags = 0;
  addrinfo* second = nullptr;
  if (getaddrinfo(canon.c_str(), nullptr, &hints, &second) != 0 || !second) {
    LogF("IpAddr Err2: %s", canon.c_str());
    return false;
  }
  *addr = reinterpret_cast<sockaddr_in*>(second->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(second);
  return true;
}

void CloseSocket(int socket) {
  if (socket >= 0) close(socket);
}

int TcpConnectAsync(int* outSocket, const std::string& host, int port, TcpConnectState* state) {
  if (*outSocket != kNoSocket) {
    CloseSocket(*outSocket);
    *outSocket = kNoSocket;
  }
  if (state->pending) {
    int w = SocketWritable(state->socket);
    if (w == 0) return 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (w > 0 && getsockopt(state->socket, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
      state->pending = false;
      *outSocket = state->socket;
      state->socket = kNoSocket;
      return 1;
    }
    CloseSocket(state->socket);
    state->socket = kNoSocket;
    state->pending = false;
    return -5;
  }
  if (port <= 0 || port > 65535) {
    LogF("TcpConnect: bad port %d", port);
    return -5;
  }
  uint32_t addr = 0;
  if (!ResolveHost(host, &addr)) return -2;
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    LogF("socket()Error, isTcpInited=%d, WSAGetLastError=%d", NetStarted() ? 1 : 0, errno);
    NetCleanup();
    NetStartup();
    s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
      LogF("Re: socket()Error, isTcpInited=%d, WSAGetLastError=%d", NetStarted() ? 1 : 0, errno);
      return -3;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = addr;
  a.sin_port = htons(static_cast<uint16_t>(port));
  int rc;
  do {
    rc = plat::faults::Hit(plat::faults::Op::kConnect) ? -1 : connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0 && errno != EINPROGRESS && errno != EAGAIN) {
    // Refused at once (common on loopback): the writability test would not
    // see the error any more.
    CloseSocket(s);
    return -5;
  }
  state->socket = s;
  state->pending = true;
  return 0;
}

int TcpConnectTimeout(int* outSocket, const std::string& host, int port, int seconds) {
  TcpConnectState state;
  uint32_t start = plat::TickCount();
  for (;;) {
    int r = TcpConnectAsync(outSocket, host, port, &state);
    if (r > 0) return 0;
    if (r < 0) return r;
    if (plat::TickCount() - start > static_cast<uint32_t>(seconds) * 1000u) {
      CloseSocket(state.socket);
      return -9;
    }
    plat::SleepMs(90);
  }
}

namespace {

bool HasPrefix(const std::string& endpoint, const char* lower, const char* upper) {
  size_t n = strlen(lower);
  return endpoint.compare(0, n, lower) == 0 || endpoint.compare(0, n, upper) == 0;
}

// The address of a local endpoint; false when it names none.
bool LocalAddress(const std::string& endpoint, sockaddr_storage* addr, socklen_t* len, std::string* unixPath) {
  *addr = sockaddr_storage{};
  if (HasPrefix(endpoint, "unix:", "UNIX:")) {
    std::string path = endpoint.substr(5);
    auto* a = reinterpret_cast<sockaddr_un*>(addr);
    if (path.empty() || path.size() >= sizeof a->sun_path) return false;
    a->sun_family = AF_UNIX;
    memcpy(a->sun_path, path.c_str(), path.size() + 1);
    *len = sizeof(sockaddr_un);
    *unixPath = path;
    return true;
  }
  if (HasPrefix(endpoint, "tcp:", "TCP:")) {
    int port = atoi(endpoint.c_str() + 4);
    if (port <= 0 || port > 65535) return false;
    auto* a = reinterpret_cast<sockaddr_in*>(addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *len = sizeof(sockaddr_in);
    unixPath->clear();
    return true;
  }
  return false;
}

}  // namespace

int ListenLocal(const std::string& endpoint, std::string* unixPath) {
  sockaddr_storage addr;
  socklen_t len = 0;
  std::string path;
  if (!LocalAddress(endpoint, &addr, &len, &path)) return -1;
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (path.empty()) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  } else {
    unlink(path.c_str());  // a socket left by an earlier run
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, kLocalBacklog) != 0) {
    close(fd);
    return -1;
  }
  *unixPath = path;
  return fd;
}

int ConnectLocal(const std::string& endpoint) {
  sockaddr_storage addr;
  socklen_t len = 0;
  std::string path;
  if (!LocalAddress(endpoint, &addr, &len, &path)) return -1;
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = plat::faults::Hit(plat::faults::Op::kConnect) ? -1 : connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
  } while (rc < 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int AcceptLocal(int listenSocket) {
  int s;
  do {
    s = plat::faults::Hit(plat::faults::Op::kAccept) ? -1 : accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  return s;
}

long ReceiveSome(int socket, void* buf, size_t len) {
  ssize_t n;
  do {
    n = recv(socket, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

int SocketsWaitReadable(const std::vector<int>& sockets, int timeoutMs, std::vector<int>* ready) {
  std::vector<pollfd> fds;
  fds.reserve(sockets.size());
  for (int s : sockets) fds.push_back({s, POLLIN, 0});
  ready->assign(sockets.size(), 0);
  int rc = poll(fds.data(), fds.size(), timeoutMs < 0 ? 0 : timeoutMs);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (size_t i = 0; i < fds.size(); i++) {
    short rev = fds[i].revents;
    if (rev & (POLLIN | POLLHUP)) {
      (*ready)[i] = 1;  // data or an orderly close: the receive tells which
    } else if (rev & (POLLERR | POLLNVAL)) {
      (*ready)[i] = -1;
    }
    if ((*ready)[i] != 0) count++;
  }
  return count;
}

bool SetNonBlocking(int socket) {
  int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

long SendSome(int socket, const void* data, size_t len) {
  ssize_t n;
  do {
    n = send(socket, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

int SocketsWait(const std::vector<int>& sockets, const std::vector<int>& wanted, int timeoutMs,
                std::vector<int>* ready) {
  std::vector<pollfd> fds;
  fds.reserve(sockets.size());
  for (size_t i = 0; i < sockets.size(); i++) {
    int w = i < wanted.size() ? wanted[i] : kSocketReadable;
    short events = static_cast<short>(((w & kSocketReadable) ? POLLIN : 0) | ((w & kSocketWritable) ? POLLOUT : 0));
    fds.push_back({sockets[i], events, 0});
  }
  ready->assign(sockets.size(), 0);
  int rc = poll(fds.data(), fds.size(), timeoutMs < 0 ? 0 : timeoutMs);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (size_t i = 0; i < fds.size(); i++) {
    short rev = fds[i].revents;
    int r = 0;
    if (rev & (POLLIN | POLLHUP)) r |= kSocketReadable;  // the receive tells data from a close
    if (rev & POLLOUT) r |= kSocketWritable;
    if (rev & (POLLERR | POLLNVAL)) r |= kSocketFailed;
    (*ready)[i] = r;
    if (r != 0) count++;
  }
  return count;
}
