#include "platform/card/control.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/card/farend.h"
#include "platform/socketbase.h"
#include "platform/tick.h"

namespace plat {

namespace {

constexpr size_t kLineMax = 1 << 20;
// A client that takes no answer for this long is dropped.
constexpr int kAnswerSendMs = 10000;

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
  struct Client {
    int fd;
    std::string in;
  };
  std::vector<Client> clients;
  std::vector<int> fds, ready;
  auto cancelled = [this] { return stop_.load(); };
  while (!stop_) {
    fds.assign(1, listenFd_);
    for (auto& c : clients) fds.push_back(c.fd);
    if (SocketsWaitReadable(fds, 100, &ready) <= 0) continue;
    if (ready[0] > 0) {
      int fd = AcceptLocal(listenFd_);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    for (size_t i = 1; i < fds.size(); i++) {
      if (ready[i] == 0) continue;
      Client& c = clients[i - 1];
      char buf[4096];
      long n = ready[i] > 0 ? ReceiveSome(c.fd, buf, sizeof buf) : -1;
      bool drop = n <= 0;
      if (n > 0) c.in.append(buf, static_cast<size_t>(n));
      size_t nl;
      while (!drop && (nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = farEnd_->Execute(line, cancelled);
        // One answer is one line, whatever a file name held.
        for (char& ch : answer)
          if (ch == '\n' || ch == '\r') ch = ' ';
        answer += "\n";
        if (SendAll(c.fd, answer.data(), answer.size(), kAnswerSendMs, &stop_) < answer.size()) drop = true;
      }
      if (c.in.size() > kLineMax) drop = true;
      if (drop) {
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
