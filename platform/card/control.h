#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/thread.h"

// The far end's commands as text lines on a local socket, and the client
// side that tools and tests use.
namespace plat {

class SimCardFarEnd;

// Serves the far end's commands as text lines on a local socket:
// "unix:PATH" (a Unix-domain socket) or "tcp:PORT" (loopback only).
//
// One thread serves every client and never waits on one: client sockets are
// non-blocking and each has its own queue of answers not yet taken. A client
// that lets more than the output limit pile up is not reading and is
// dropped, so it cannot hold up the other clients or the stop.
class SimCardControl {
 public:
  static constexpr size_t kDefaultOutputLimit = 1 << 20;
  // Clients beyond this are closed as they connect.
  static constexpr size_t kClientsMax = 64;

  // A client that sends nothing for this long (with no answers owed) is
  // dropped as well, so idle connections cannot fill the table.
  static constexpr uint32_t kDefaultIdleMs = 10000;

  explicit SimCardControl(size_t outputLimit = kDefaultOutputLimit, uint32_t idleMs = kDefaultIdleMs)
      : outputLimit_(outputLimit), idleMs_(idleMs) {}
  ~SimCardControl() { Stop(); }
  SimCardControl(const SimCardControl&) = delete;
  SimCardControl& operator=(const SimCardControl&) = delete;
  bool Start(const std::string& endpoint, SimCardFarEnd* farEnd);
  void Stop();
  // Clients dropped so far for not taking their answers or sending nothing.
  uint64_t Dropped() const { return dropped_.load(); }

 private:
  void Run();
  const size_t outputLimit_;
  const uint32_t idleMs_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> dropped_{0};
  int listenFd_ = -1;
  std::string unixPath_;
  SimCardFarEnd* farEnd_ = nullptr;
  plat::Thread thread_;
};

// Client side: connects to the endpoint, sends one command line and returns
// the answer line, or "ERR ..." when the card cannot be reached.
std::string SimCardCommand(const std::string& endpoint, const std::string& line,
                           int timeoutMs = 70000);

}  // namespace plat
