#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Basic socket functions shared by the remote monitor, the script sockets and
// HTTP. Sockets are plain descriptors; every one made here is close-on-exec, so
// a program started by a script does not inherit the monitor port.

// A descriptor slot that holds no socket.
constexpr int kNoSocket = -1;

// Once per process: ignores SIGPIPE (sends use MSG_NOSIGNAL as well). 0.
int NetStartup();
// The same start for the UDP sockets, without trace lines. 0.
int UdpStartup();
// Clears the started flag; the next NetStartup traces again.
void NetCleanup();
bool NetStarted();

// Readiness within 20 microseconds: 1 ready, 0 not, negative on error (a
// closed or invalid descriptor, or an error pending on the socket). Readable
// includes a waiting connection and a peer that closed.
int SocketReadable(int socket);
int SocketWritable(int socket);
// The same with a longer wait, for loops that would otherwise sleep.
int SocketWaitReadable(int socket, int timeoutMs);

// Whether a port given by a script or a configuration names a port at all:
// 0..65535 (0: an ephemeral port where one is bound).
bool ValidPort(int port);

// A listening TCP socket on every local address. 0, or -3 (socket), -4 (bind,
// also a port outside 0..65535), -5 (listen), each after its message box.
// Port 0 takes an ephemeral port. The listener is non-blocking, so an accept
// whose client went away in the meantime fails instead of hanging.
int InitTcp(int port, int* outSocket, int backlog);
// The local port a socket is bound to; -1 when unknown.
int SocketLocalPort(int socket);

// Accepts one client: its socket (blocking, close-on-exec) or -1 with errno
// kept, and the peer's dotted address. A failure for want of descriptors is
// logged at most once a second.
int AcceptClient(int listenSocket, std::string* addressText);
// Whether an accept failed for want of descriptors or memory: the connection
// stays pending, so a loop must pause before it tries again.
bool AcceptOutOfResources(int err);
// Dotted address of the socket's peer; empty when it cannot be had.
std::string PeerAddress(int socket);

// Sends the whole buffer (MSG_NOSIGNAL), waiting for room at most timeoutMs in
// all. Returns the bytes sent: fewer than len means the peer is not reading
// (or is gone) and the connection should be dropped. A raised cancel flag
// ends the wait early.
size_t SendAll(int socket, const void* data, size_t len, int timeoutMs,
               const std::atomic<bool>* cancel = nullptr);

// What a waiting send or receive asks between its slices: true ends the
// wait (the line stops or reloads). May be empty.
using StopCheck = std::function<bool()>;
// Longest slice a waiting send or receive sleeps before it asks again.
constexpr int kWaitSliceMs = 100;

// SendAll that also ends when stop says so. The bytes sent.
size_t SendAllUntil(int socket, const void* data, size_t len, int timeoutMs, const StopCheck& stop);
// Waits at most timeoutMs for data, then one receive of at most len bytes:
// the count, 0 the peer closed, -1 an error, -2 nothing came in time or stop
// ended the wait.
long RecvWait(int socket, void* buf, size_t len, int timeoutMs, const StopCheck& stop);
// Whether the socket is a listening one (asked of the socket itself).
bool IsListeningSocket(int socket);

// IPv4 address of a host text in network order; false when it does not
// resolve. A dotted text is used directly; a name is looked up and then looked
// up again by its canonical name.
bool ResolveHost(const std::string& host, uint32_t* addr);

// A non-blocking connect, stepped by its caller until done.
struct TcpConnectState {
  int socket = kNoSocket;  // the socket being connected
  bool pending = false;    // a connect is under way
};

// One step: 1 connected (outSocket holds it, still non-blocking), 0 pending,
// -2 host does not resolve, -3 no socket, -5 the connect failed (also a port
// outside 1..65535). A socket
// already in outSocket is closed first.
int TcpConnectAsync(int* outSocket, const std::string& host, int port, TcpConnectState* state);
// Steps every 90 ms for at most seconds: 0 connected, -9 timed out, or the
// step's negative result.
int TcpConnectTimeout(int* outSocket, const std::string& host, int port, int seconds);

void CloseSocket(int socket);

// Local endpoints of our own tools: "unix:PATH" (a Unix-domain socket) or
// "tcp:PORT" (loopback only). These say nothing in the log or in boxes: the
// caller reports a failure in its own words.
//
// Connections a local listener holds until they are accepted.
constexpr int kLocalBacklog = 64;
// A listening socket, or -1. For a Unix socket *unixPath gets the path, for
// the caller to unlink when it closes the socket; a socket file left by an
// earlier run is replaced.
int ListenLocal(const std::string& endpoint, std::string* unixPath);
// A connected, blocking socket, or -1.
int ConnectLocal(const std::string& endpoint);
// One client of a local listener (blocking, close-on-exec), or -1 (errno kept).
int AcceptLocal(int listenSocket);
// One receive: the bytes read, 0 when the peer closed, -1 on an error.
long ReceiveSome(int socket, void* buf, size_t len);
// Waits at most timeoutMs until one of the sockets is readable, as
// SocketReadable counts it. (*ready)[i] gets 1 readable, -1 an error on that
// socket, 0 neither. Returns how many are not 0, or -1.
int SocketsWaitReadable(const std::vector<int>& sockets, int timeoutMs, std::vector<int>* ready);

// A socket's sends and receives no longer wait; false when it cannot be set.
bool SetNonBlocking(int socket);
// One send that never waits (MSG_NOSIGNAL): the bytes sent, 0 when there is
// no room now, -1 when the connection is broken.
long SendSome(int socket, const void* data, size_t len);

// What SocketsWait waits for and reports, as bits.
constexpr int kSocketReadable = 1;  // data, a waiting connection or a peer that closed
constexpr int kSocketWritable = 2;
constexpr int kSocketFailed = 4;  // an error on the socket, or not a socket
// Waits at most timeoutMs until one of the sockets is ready for what
// wanted[i] asks (kSocketReadable, kSocketWritable or both). (*ready)[i] gets
// the bits that hold. Returns how many sockets are ready, or -1.
int SocketsWait(const std::vector<int>& sockets, const std::vector<int>& wanted, int timeoutMs,
                std::vector<int>* ready);
