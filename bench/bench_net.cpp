// Network throughput on loopback: "Http(" requests per second against a
// local server, the script HTTP server's requests per second (keep-alive and
// not) beside python3's http.server measured in the same run, and messages
// per second through a TCP connection between two threads. No request may
// pay a fixed sleep: head and body go out in one write.
// The script server comes twice: its service functions called from C++
// (ScriptServer), and a real script on a virtual line loaded by the line
// manager (ScriptLineServer), which runs what the program runs; its peer is
// nginx answering the same body, started for the run when it is installed.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "core/cpumeter.h"
#include "core/log.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "host/operations.h"
#include "runtime/teldrive.h"
#include "platform/scriptfds.h"
#include "platform/tick.h"
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

// A loopback port free at this moment.
int FreePort() {
  int s = kNoSocket;
  InitTcp(0, &s, 1);
  const int port = SocketLocalPort(s);
  CloseSocket(s);
  return port;
}

// Waits, bounded, until something accepts connections on the port.
bool WaitListening(int port) {
  for (int i = 0; i < 500; ++i) {
    int c = kNoSocket;
    if (TcpConnectTimeout(&c, "127.0.0.1", port, 1) == 0) {
      CloseSocket(c);
      return true;
    }
    usleep(20000);
  }
  return false;
}

struct BenchFolder {
  std::string path;
  BenchFolder() {
    char tmpl[] = "/tmp/bench_net_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~BenchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// The script HTTP server as a script author writes it, on virtual line 0 of
// an installation loaded by the line manager: it polls the kept connection
// and the listening socket and answers every request with "hello",
// keeping the connection open.
class ScriptLineServer {
 public:
  ScriptLineServer() : port_(FreePort()), oldCwd_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_.path);
    std::ofstream("RoDizRun.cfg") << "VIR_LINES_NUM=1\nLOAD_DELAY=0\n0=server.kxs\n";
    std::ofstream("server.kxs") << "s = HttpServerOpen(" << port_
                                << ");\n"
                                   "head = \"\";\nbody = \"\";\npeer = \"\";\nc = -1;\n"
                                   "while (s >= 0)\n{\n"
                                   "  r = -1;\n"
                                   "  if (c >= 0)\n  {\n    r = HttpServerRecv(c, head, body, peer);\n  }\n"
                                   "  if (r < 0)\n  {\n    r = HttpServerRecv(s, head, body, peer);\n  }\n"
                                   "  if (r >= 0)\n  {\n"
                                   "    n = HttpServerSend(r, \"HTTP/1.1 200 OK\\r\\n\", \"hello\");\n"
                                   "    c = r;\n  }\n}\n"
                                   "return(0);\n";
    logLevel = 0;
    CpuMeter().SetOverride([] { return 0; });
    RegisterAllOperations();
    monitor_ = std::make_shared<TagMonitor>(1, TagMonitorSettings{});
    SetMonitor(monitor_);
    drive_ = std::make_unique<TagTelDrive>("RoDizRun.cfg", &cfg_);
    drive_->RunStart("RoDizRun.cfg");
    ready_ = WaitListening(port_);
  }
  ~ScriptLineServer() {
    drive_.reset();
    SetMonitor(nullptr);
    CpuMeter().SetOverride(nullptr);
    std::filesystem::current_path(oldCwd_);
  }
  int port() const { return port_; }
  bool ready() const { return ready_; }

 private:
  BenchFolder dir_;
  int port_;
  std::filesystem::path oldCwd_;
  TagRunCfg cfg_;
  std::shared_ptr<TagMonitor> monitor_;
  std::unique_ptr<TagTelDrive> drive_;
  bool ready_ = false;
};

// nginx with one worker answering "hello" to every request, keep-alive
// without a request limit, in a folder of its own.
class NginxServer {
 public:
  NginxServer() : port_(FreePort()) {
    if (access("/usr/sbin/nginx", X_OK) != 0) return;
    std::ofstream(dir_.path + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << dir_.path
        << "/nginx.pid;\nerror_log " << dir_.path << "/error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log off;\n  keepalive_requests 100000000;\n"
        << "  client_body_temp_path " << dir_.path << "/body;\n  proxy_temp_path " << dir_.path << "/proxy;\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
        << "    location / { default_type text/plain; return 200 \"hello\"; }\n  }\n}\n";
    pid_ = fork();
    if (pid_ == 0) {
      const std::string conf = dir_.path + "/nginx.conf";
      execl("/usr/sbin/nginx", "nginx", "-p", dir_.path.c_str(), "-e", (dir_.path + "/error.log").c_str(), "-c",
            conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ready_ = pid_ > 0 && WaitListening(port_);
  }
  ~NginxServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  bool ready() const { return ready_; }

 private:
  BenchFolder dir_;
  int port_;
  pid_t pid_ = -1;
  bool ready_ = false;
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

void BM_ScriptLineServerKeepAlive(benchmark::State& state) {
  ScriptLineServer server;
  if (!server.ready()) {
    state.SkipWithError("the script line did not open its port");
    return;
  }
  KeepAliveLoad(state, server.port());
}
BENCHMARK(BM_ScriptLineServerKeepAlive)->UseRealTime();

void BM_NginxKeepAlive(benchmark::State& state) {
  NginxServer server;
  if (!server.ready()) {
    state.SkipWithError("nginx is not installed or did not start");
    return;
  }
  KeepAliveLoad(state, server.port());
}
BENCHMARK(BM_NginxKeepAlive)->UseRealTime();

// A fresh connection per request, through the client of "Http(".
void FreshConnectionLoad(benchmark::State& state, int port) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  HttpResult res;
  for (auto _ : state) {
    if (HtmlRecv(url, "GET", {}, "", &res, {}) != 5) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_HttpClientToScriptLineServer(benchmark::State& state) {
  ScriptLineServer server;
  if (!server.ready()) {
    state.SkipWithError("the script line did not open its port");
    return;
  }
  FreshConnectionLoad(state, server.port());
}
BENCHMARK(BM_HttpClientToScriptLineServer)->UseRealTime();

void BM_HttpClientToNginx(benchmark::State& state) {
  NginxServer server;
  if (!server.ready()) {
    state.SkipWithError("nginx is not installed or did not start");
    return;
  }
  FreshConnectionLoad(state, server.port());
}
BENCHMARK(BM_HttpClientToNginx)->UseRealTime();

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
