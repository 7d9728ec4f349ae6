#pragma once
// UDP sockets for scripts: bound to a local port, datagrams to a dotted
// address or a host name, datagrams received with their sender.
#include <string>
#include <string_view>

#include "platform/socketbase.h"

// Largest datagram a receive takes; sends are limited by the socket alone.
constexpr size_t kMaxUdpDatagram = 10240;

// A socket bound to every local address on the port (receive buffer 1 MiB,
// no address reuse: a port already bound fails), recorded for the line. 0,
// -3 no socket, -4 bind failed or a port outside 0..65535, each after its box.
int UdpSocketOpen(int port, int ownerLine, int* outSocket);
// The count sent, -1 an error (also a datagram the socket refuses, a bad
// port or not a socket a script opened), -2 the host does not resolve.
int UdpSendTo(int socket, int ownerLine, const std::string& host, int port, std::string_view bytes);
// Waits for a datagram (in slices; stop ends the wait): its size, 0 for an
// empty one, -1 an error, a datagram over kMaxUdpDatagram (dropped) or not a
// socket a script opened, -2 the wait was stopped.
int UdpRecvFrom(int socket, int ownerLine, std::string* data, std::string* address, int* port,
                const StopCheck& stop);
bool UdpSocketClose(int socket, int ownerLine);
