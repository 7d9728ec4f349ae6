#include "services/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/log.h"
#include "platform/format.h"
#include "platform/msgbox.h"
#include "platform/scriptfds.h"

int UdpSocketOpen(int port, int ownerLine, int* outSocket) {
  *outSocket = kNoSocket;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    plat::MessageBox("InitTcp: socket()...", plat::Format("Error #%d occurred while creating socket!!", errno),
                     plat::kBoxIconError);
    return -3;
  }
  int size = 1048576;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int err = EINVAL;
  if (!ValidPort(port) || (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && (err = errno, true))) {
    close(s);
    plat::MessageBox("Server: bind()...",
                     plat::Format("Error #%d occurred while bind socket! port=[%d]", err, port), plat::kBoxIconError);
    return -4;
  }
  ScriptFdAdd(s, ownerLine, ScriptFdKind::kUdp);
  *outSocket = s;
  return 0;
}

int UdpSendTo(int socket, int ownerLine, const std::string& host, int port, std::string_view bytes) {
  if (!ScriptFdKnown(socket, ScriptFdKind::kUdp)) return -1;
  if (port <= 0 || port > 65535) return -1;
  uint32_t addr = 0;
  if (!ResolveHost(host, &addr)) return -2;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = addr;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ssize_t n;
  do {
    n = sendto(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int UdpRecvFrom(int socket, int ownerLine, std::string* data, std::string* address, int* port,
                const StopCheck& stop) {
  if (!ScriptFdKnown(socket, ScriptFdKind::kUdp)) return -1;
  for (;;) {
    int ready = SocketWaitReadable(socket, kWaitSliceMs);
    if (ready < 0) return -1;
    if (ready > 0) break;
    if (stop && stop()) return -2;
  }
  char buf[kMaxUdpDatagram + 1];
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ssize_t n;
  do {
    n = recvfrom(socket, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&a), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) > kMaxUdpDatagram) {
    LogAlwaysF("UdpRecv: datagram of %d bytes dropped", static_cast<int>(n));
    return -1;
  }
  data->assign(buf, static_cast<size_t>(n));
  char dotted[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof dotted);
  *address = dotted;
  *port = ntohs(a.sin_port);
  return static_cast<int>(n);
}

bool UdpSocketClose(int socket, int ownerLine) { return ScriptFdCloseKnown(socket, ScriptFdKind::kUdp); }
