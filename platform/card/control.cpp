#include "platform/card/control.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/card/farend.h"
#include "platform/socketbase.h"
#include "platform/tick.h"

namespace plat {

namespace {

constexpr size_t kLineMax = 1 << 20;
// A client whose queued answers have not moved for this long is not reading.
constexpr uint32_t kStalledMs = 10000;
// Connections taken from the listen queue in one pass.
constexpr int kAcceptsPerPass = 64;
// After an accept failed for want of descriptors, the listener rests this long.
constexpr uint32_t kAcceptRestMs = 250;

struct Client {
  int fd = -1;
  std::string in;
  std::string out;  // answers queued, sent up to `sent`
  size_t sent = 0;
  bool peerDone = false;  // the client has sent all it will send
  uint32_t moved = 0;     // tick of the last answer bytes taken, or queued into an empty queue
  uint32_t heard = 0;     // tick of the last bytes received (or of the accept)

  size_t Pending() const { return out.size() - sent; }

  // Sends what the socket takes now; false when the connection is broken.
  bool Flush() {
    while (Pending() > 0) {
      long n = SendSome(fd, out.data() + sent, Pending());
      if (n < 0) return false;
      if (n == 0) break;
      sent += static_cast<size_t>(n);
      moved = TickCount();
    }
    if (sent == out.size()) {
      out.clear();
      sent = 0;
    } else if (sent > 65536 && sent > out.size() / 2) {
      out.erase(0, sent);
      sent = 0;
    }
    return true;
  }
};

}  // namespace

bool SimCardControl::Start(const std::string& endpoint, SimCardFarEnd* farEnd) {
  Stop();
  listenFd_ = ListenLocal(endpoint, &unixPath_);
  if (listenFd_ < 0) return false;
  farEnd_ = farEnd;
  stop_ = false;
  if (!thread_.Start([this] { Run(); }, 256 * 1024)) {
    CloseSocket(listenFd_);
    listenFd_ = -1;
    return false;
  }
  return true;
}

void SimCardControl::Stop() {
  stop_ = true;
  if (thread_.Joinable()) thread_.Join();
  if (listenFd_ >= 0) CloseSocket(listenFd_);
  listenFd_ = -1;
  if (!unixPath_.empty()) unlink(unixPath_.c_str());
  unixPath_.clear();
}

void SimCardControl::Run() {
  std::vector<Client> clients;
  std::vector<int> fds, wanted, ready;
  uint32_t restFrom = TickCount() - kAcceptRestMs;
  auto cancelled = [this] { return stop_.load(); };
  // Answers every complete line the client has sent; false once its queue
  // of answers is over the limit (it is not reading them).
  auto serve = [&](Client& c) {
    size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
      std::string line = c.in.substr(0, nl);
      c.in.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string answer = farEnd_->Execute(line, cancelled);
      // One answer is one line, whatever a file name held.
      for (char& ch : answer)
        if (ch == '\n' || ch == '\r') ch = ' ';
      answer += "\n";
      if (c.Pending() == 0) c.moved = TickCount();
      c.out += answer;
      if (!c.Flush()) return false;
      if (c.Pending() > outputLimit_) {
        dropped_++;
        return false;
      }
    }
    return true;
  };
  while (!stop_) {
    uint32_t now = TickCount();
    const bool resting = now - restFrom < kAcceptRestMs;
    fds.assign(1, listenFd_);
    wanted.assign(1, resting ? 0 : kSocketReadable);
    for (auto& c : clients) {
      fds.push_back(c.fd);
      wanted.push_back((c.peerDone ? 0 : kSocketReadable) | (c.Pending() > 0 ? kSocketWritable : 0));
    }
    if (SocketsWait(fds, wanted, 100, &ready) <= 0) ready.assign(fds.size(), 0);
    // Every connection waiting now, so a burst does not overflow the queue.
    for (int k = 0; k < kAcceptsPerPass && (ready[0] & kSocketReadable); k++) {
      if (k > 0 && SocketReadable(listenFd_) <= 0) break;
      int fd = AcceptLocal(listenFd_);
      if (fd < 0) {
        if (AcceptOutOfResources(errno)) restFrom = TickCount();
        break;
      }
      if (clients.size() >= kClientsMax || !SetNonBlocking(fd)) {
        CloseSocket(fd);
      } else {
        clients.push_back(Client{});
        clients.back().fd = fd;
        clients.back().heard = TickCount();
      }
    }
    for (size_t i = 1; i < fds.size(); i++) {
      int r = ready[i];
      if (r == 0) continue;
      Client& c = clients[i - 1];
      bool drop = (r & kSocketFailed) != 0;
      if (!drop && (r & kSocketReadable) && !c.peerDone) {
        char buf[4096];
        long n = ReceiveSome(c.fd, buf, sizeof buf);
        if (n > 0) {
          c.heard = TickCount();
          c.in.append(buf, static_cast<size_t>(n));
          drop = !serve(c) || c.in.size() > kLineMax;
        } else if (n == 0) {
          c.peerDone = true;  // its answers still go out
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
          drop = true;
        }
      }
      if (!drop && (r & kSocketWritable)) drop = !c.Flush();
      if (!drop && c.peerDone && c.Pending() == 0) drop = true;
      if (drop) {
        CloseSocket(c.fd);
        c.fd = -1;
      }
    }
    now = TickCount();
    for (auto& c : clients) {
      // Not reading its answers, or sending nothing while it holds a place.
      const bool stalled = c.Pending() > 0 && now - c.moved > kStalledMs;
      const bool idle = c.Pending() == 0 && !c.peerDone && now - c.heard > idleMs_;
      if (c.fd >= 0 && (stalled || idle)) {
        dropped_++;
        CloseSocket(c.fd);
        c.fd = -1;
      }
    }
    clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.fd < 0; }),
                  clients.end());
  }
  for (auto& c : clients) CloseSocket(c.fd);
}

std::string SimCardCommand(const std::string& endpoint, const std::string& line, int timeoutMs) {
  int fd = ConnectLocal(endpoint);
  if (fd < 0) return "ERR cannot reach the card at " + endpoint;
  std::string out = line + "\n";
  if (SendAll(fd, out.data(), out.size(), timeoutMs) < out.size()) {
    CloseSocket(fd);
    return "ERR send failed";
  }
  std::string in;
  uint32_t start = TickCount();
  while (in.find('\n') == std::string::npos) {
    int left = timeoutMs - static_cast<int>(TickCount() - start);
    if (left <= 0) {
      CloseSocket(fd);
      return "ERR no answer";
    }
    int r = SocketWaitReadable(fd, std::min(left, 200));
    if (r < 0) break;
    if (r == 0) continue;
    char buf[4096];
    long n = ReceiveSome(fd, buf, sizeof buf);
    if (n <= 0) break;
    in.append(buf, static_cast<size_t>(n));
    if (in.size() > kLineMax) break;
  }
  CloseSocket(fd);
  size_t nl = in.find('\n');
  if (nl == std::string::npos) return "ERR connection closed";
  return in.substr(0, nl);
}

}  // namespace plat
