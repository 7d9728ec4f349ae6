#pragma once
#include <atomic>
#include <string>

#include "platform/thread.h"

// The far end's commands as text lines on a local socket, and the client
// side that tools and tests use.
namespace plat {

class SimCardFarEnd;

// Serves the far end's commands as text lines on a local socket:
// "unix:PATH" (a Unix-domain socket) or "tcp:PORT" (loopback only).
class SimCardControl {
 public:
  SimCardControl() = default;
  ~SimCardControl() { Stop(); }
  bool Start(const std::string& endpoint, SimCardFarEnd* farEnd);
  void Stop();

 private:
  void Run();
  std::atomic<bool> stop_{false};
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
