#pragma once
// A port for a test to hand to a program that binds it later. Two things
// make a port chosen now still free then, on a busy machine: it is free for
// TCP and UDP alike (a TCP check says nothing of the UDP port of the same
// number), and it lies outside the kernel's ephemeral range, where every
// outgoing connection and unbound datagram socket on the machine takes its
// local port.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>

namespace testsupport {

// Whether a socket of this type binds port on every address right now.
inline bool PortBinds(int type, int port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A port no TCP nor UDP socket holds now, or 0.
inline int FreePort() {
  int low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  // The widest stretch outside the ephemeral range, above the well-known
  // ports and the ones installations are configured with.
  int from = 10000, to = low - 1;
  if (65535 - high > to - from) from = high + 1, to = 65535;
  if (to - from < 1000) from = 1024, to = 65535;
  std::random_device rd;
  std::uniform_int_distribution<int> pick(from, to);
  for (int i = 0; i < 1000; ++i) {
    const int port = pick(rd);
    if (port != 3306 && PortBinds(SOCK_STREAM, port) && PortBinds(SOCK_DGRAM, port)) return port;
  }
  return 0;
}

}  // namespace testsupport
