// Network throughput on loopback: "Http(" requests per second against a
// local server, the script HTTP server's requests per second (keep-alive and
// not) beside python3's http.server measured in the same run, and messages
// per second through a TCP connection between two threads. No request may
// pay a fixed sleep: head and body go out in one write.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/scriptfds.h"
#include "platform/socketbase.h"
#include "services/http.h"

namespace {

constexpr int kLine = 7;

// A script-style server loop on its own thread: wait briefly for a socket to
// be ready, take one request, answer it with a small body.
class ScriptServer {
 public:
  explicit ScriptServer(bool keepAlive) : keepAlive_(keepAlive) {
    listener_ = HttpServerOpen(0, kLine);
    port_ = SocketLocalPort(listener_);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptServer() {
    stop_.store(true);
    thread_.join();
    ScriptFdCloseAll(kLine, ScriptFdKind::kHttp);
  }
  int port() const { return port_; }

 private:
  void Run() {
    int conn = -1;
    const std::string head = keepAlive_ ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 200 OK\r\nConnection: close\r\n";
    auto stop = [this] { return stop_.load(); };
    while (!stop_.load()) {
      int from = conn >= 0 ? conn : listener_;
      if (SocketWaitReadable(from, 10) <= 0) continue;
      HttpRequest req;
      int s = HttpServerRecv(from, kLine, &req, stop);
      if (s < 0) {
        if (from == conn) conn = -1;
        continue;
      }
      HttpServerSend(s, kLine, head, "hello", stop);
      conn = keepAlive_ && ScriptFdOwned(s, kLine, ScriptFdKind::kHttp) ? s : -1;
    }
  }
  bool keepAlive_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// python3's http.server answering with HTTP/1.1 keep-alive, Nagle off so
// its head and body (two writes) do not wait for a delayed acknowledgement.
class ReferenceServer {
 public:
  ReferenceServer() {
    int s = kNoSocket;
    InitTcp(0, &s, 1);
    port_ = SocketLocalPort(s);
    CloseSocket(s);
    pid_ = fork();
    if (pid_ == 0) {
      const std::string code =
          "import http.server\n"
          "class H(http.server.BaseHTTPRequestHandler):\n"
          "  protocol_version='HTTP/1.1'\n"
          "  disable_nagle_algorithm=True\n"
          "  def do_GET(self):\n"
          "    self.send_response(200); self.send_header('Content-Length','5'); self.end_headers()\n"
          "    self.wfile.write(b'hello')\n"
          "  def log_message(self,*a): pass\n"
          "http.server.ThreadingHTTPServer(('127.0.0.1'," +
          std::to_string(port_) + "),H).serve_forever()\n";
      execl("/usr/bin/python3", "python3", "-c", code.c_str(), static_cast<char*>(nullptr));
      execlp("python3", "python3", "-c", code.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      int c = kNoSocket;
      if (TcpConnectTimeout(&c, "127.0.0.1", port_, 1) == 0) {
        CloseSocket(c);
        break;
      }
      usleep(20000);
    }
  }
  ~ReferenceServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// One GET on a kept connection; false when the answer did not come whole.
bool KeepAliveGet(int s, std::string* buf) {
  static const std::string req = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (SendAll(s, req.data(), req.size(), 5000) != req.size()) return false;
  buf->clear();
  HttpHeadInfo info;
  for (;;) {
    if (ParseHttpHead(*buf, &info) == 1 && buf->size() >= info.headLen + static_cast<size_t>(info.contentLength))
      return true;
    char piece[4096];
    long n = RecvWait(s, piece, sizeof piece, 5000, {});
    if (n <= 0) return false;
    buf->append(piece, static_cast<size_t>(n));
  }
}

void KeepAliveLoad(benchmark::State& state, int port) {
  int s = kNoSocket;
  if (TcpConnectTimeout(&s, "127.0.0.1", port, 2) != 0) {
    state.SkipWithError("no connection");
    return;
  }
  std::string buf;
  for (auto _ : state) {
    if (!KeepAliveGet(s, &buf)) {
      state.SkipWithError("request failed");
      break;
    }
  }
  CloseSocket(s);
  state.SetItemsProcessed(state.iterations());
}

void BM_ScriptServerKeepAlive(benchmark::State& state) {
  ScriptServer server(true);
  KeepAliveLoad(state, server.port());
}
BENCHMARK(BM_ScriptServerKeepAlive)->UseRealTime();

void BM_ReferenceServerKeepAlive(benchmark::State& state) {
  ReferenceServer server;
  KeepAliveLoad(state, server.port());
}
BENCHMARK(BM_ReferenceServerKeepAlive)->UseRealTime();

// A fresh connection per request, through the client of "Http(".
void BM_HttpClientToScriptServer(benchmark::State& state) {
  ScriptServer server(false);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  HttpResult res;
  for (auto _ : state) {
    if (HtmlRecv(url, "GET", {}, "", &res, {}) != 5) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpClientToScriptServer)->UseRealTime();

void BM_HttpClientToReferenceServer(benchmark::State& state) {
  ReferenceServer server;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  HttpResult res;
  for (auto _ : state) {
    if (HtmlRecv(url, "GET", {}, "", &res, {}) != 5) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpClientToReferenceServer)->UseRealTime();

// Messages of 64 bytes through one TCP connection, each answered, between
// two threads that wait the way the script operations do.
void BM_TcpMessagesBetweenTwoThreads(benchmark::State& state) {
  int listener = kNoSocket;
  InitTcp(0, &listener, 1);
  int a = kNoSocket;
  if (TcpConnectTimeout(&a, "127.0.0.1", SocketLocalPort(listener), 2) != 0) {
    state.SkipWithError("no connection");
    return;
  }
  SocketWaitReadable(listener, 2000);
  std::string addr;
  int b = AcceptClient(listener, &addr);
  std::atomic<bool> done{false};
  std::thread echo([&] {
    char buf[64];
    while (!done.load()) {
      long n = RecvWait(b, buf, sizeof buf, 100, {});
      if (n > 0) SendAll(b, buf, static_cast<size_t>(n), 5000);
      if (n == 0 || n == -1) break;
    }
  });
  char msg[64] = "message";
  char back[64];
  for (auto _ : state) {
    SendAll(a, msg, sizeof msg, 5000);
    size_t got = 0;
    while (got < sizeof back) {
      long n = RecvWait(a, back + got, sizeof back - got, 5000, {});
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  done.store(true);
  echo.join();
  CloseSocket(a);
  CloseSocket(b);
  CloseSocket(listener);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TcpMessagesBetweenTwoThreads)->UseRealTime();

}  // namespace
