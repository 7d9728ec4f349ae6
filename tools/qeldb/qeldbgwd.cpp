// A small database gateway on loopback: serves our gateway library's
// clients, runs their statements through ODBC and ships whole results back.
//
//   qeldbgwd --port N --odbc "DRIVER=SQLite3;Database=/path/file.db"
//            [--user U --password P]
//
// One thread and one ODBC connection per client, at most kMaxClients at
// once; a thread is joined as soon as its client leaves. SIGTERM or SIGINT
// ends it.
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/qeldb/wire.h"

namespace {

std::atomic<bool> g_stop{false};
std::string g_odbc, g_user, g_password;
constexpr int kIoTimeoutMs = 600000;
// Before a login a client may send only a small frame, whole within a short
// time; after it, statements up to a sane size.
constexpr uint32_t kLoginFrameMax = 16 * 1024;
constexpr int kLoginMs = 10000;
constexpr uint32_t kFrameMax = 16u * 1024 * 1024;
constexpr size_t kMaxClients = 64;
// A refused login is answered after this, doubled at each further refusal
// on the same connection up to kLoginDelayMaxMs.
constexpr int kLoginDelayMs = 500;
constexpr int kLoginDelayMaxMs = 8000;
// Widest column the gateway describes.
constexpr int kMaxWidth = 4099;

void OnSignal(int) { g_stop = true; }

std::string Diag(SQLSMALLINT type, SQLHANDLE h) {
  SQLCHAR state[6] = {0}, text[1024] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  if (SQL_SUCCEEDED(SQLGetDiagRec(type, h, 1, state, &native, text, sizeof text, &len)))
    return reinterpret_cast<char*>(text);
  return "unknown ODBC error";
}

struct Client {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool open = false;

  ~Client() { Close(); }
  void Close() {
    if (dbc != SQL_NULL_HDBC) {
      if (open) SQLDisconnect(dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    dbc = SQL_NULL_HDBC;
    env = SQL_NULL_HENV;
    open = false;
  }

  std::string Open(const std::string& user, const std::string& password) {
    Close();
    if ((!g_user.empty() || !g_password.empty()) && (user != g_user || password != g_password))
      return "login refused";
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLCHAR out[1024];
    SQLSMALLINT outLen = 0;
    std::string conn = g_odbc;
    const SQLRETURN r = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(conn.data()), SQL_NTS, out,
                                         sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(r)) return Diag(SQL_HANDLE_DBC, dbc);
    open = true;
    return "";
  }

  // The reply of one statement.
  std::string Exec(const std::string& sql) {
    qelwire::Writer w;
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!open || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st))) {
      w.Int(-1);
      w.Int(-1);
      w.Str("no database connection");
      return w.Body();
    }
    std::string text = sql;
    SQLRETURN r = SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    if (!SQL_SUCCEEDED(r) && r != SQL_NO_DATA) {
      w.Int(-1);
      w.Int(-1);
      w.Str(Diag(SQL_HANDLE_STMT, st));
      SQLFreeHandle(SQL_HANDLE_STMT, st);
      return w.Body();
    }
    SQLSMALLINT cols = 0;
    SQLNumResultCols(st, &cols);
    qelwire::Writer head, body;
    for (SQLUSMALLINT c = 1; c <= cols; ++c) {
      SQLCHAR name[256] = {0};
      SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLDescribeCol(st, c, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
      int width = size == 0 || size > static_cast<SQLULEN>(kMaxWidth) ? kMaxWidth : static_cast<int>(size);
      head.Str(reinterpret_cast<char*>(name));
      head.Int(width);
      head.Int(type);
      head.Int(digits);
    }
    int rows = 0;
    std::string failure;
    if (cols > 0) {
      while ((r = SQLFetch(st)) != SQL_NO_DATA) {
        if (!SQL_SUCCEEDED(r)) {
          failure = Diag(SQL_HANDLE_STMT, st);
          break;
        }
        for (SQLUSMALLINT c = 1; c <= cols; ++c) {
          std::string v;
          char buf[4096];
          SQLLEN ind = 0;
          for (;;) {
            r = SQLGetData(st, c, SQL_C_CHAR, buf, sizeof buf, &ind);
            if (r == SQL_NO_DATA || !SQL_SUCCEEDED(r) || ind == SQL_NULL_DATA) break;
            const size_t got = ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf) ? sizeof buf - 1
                                                                                            : static_cast<size_t>(ind);
            v.append(buf, got);
            if (r == SQL_SUCCESS) break;
          }
          body.Str(v);
        }
        ++rows;
      }
    }
    SQLLEN affected = 0;
    if (cols == 0) SQLRowCount(st, &affected);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (!failure.empty()) {
      w.Int(-1);
      w.Int(-1);
      w.Str(failure);
      return w.Body();
    }
    w.Int(cols > 0 ? rows : static_cast<int>(affected < 0 ? 0 : affected));
    w.Int(0);
    w.Str("");
    w.Int(cols);
    w.Int(rows);
    return w.Body() + head.Body() + body.Body();
  }
};

// Sleeps ms in short steps; false when the daemon is stopping.
bool Pause(int ms) {
  for (int waited = 0; waited < ms && !g_stop.load(); waited += 50) usleep(50 * 1000);
  return !g_stop.load();
}

// The frame of a client that has not logged in: small, and whole by the
// deadline however slowly its bytes come.
bool RecvLoginFrame(int fd, std::string* body, std::chrono::steady_clock::time_point deadline) {
  std::string in;
  auto need = [&]() -> size_t {
    if (in.size() < 4) return 4;
    qelwire::Reader r(in);
    int32_t n = 0;
    r.Int(&n);
    return n < 0 || static_cast<uint32_t>(n) > kLoginFrameMax ? 0 : 4 + static_cast<size_t>(n);
  };
  for (size_t want; (want = need()) != in.size();) {
    if (want == 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !qelwire::WaitReady(fd, POLLIN, static_cast<int>(left.count()))) return false;
    char buf[4096];
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, want - in.size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    in.append(buf, static_cast<size_t>(r));
  }
  body->assign(in, 4, std::string::npos);
  return true;
}

void Serve(int fd) {
  Client client;
  std::string req;
  int loginDelay = kLoginDelayMs;
  // A client that has not logged in gets a short time for each try.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLoginMs);
  while (!g_stop.load()) {
    if (!client.open && std::chrono::steady_clock::now() > deadline) break;
    if (!qelwire::WaitReady(fd, POLLIN, 100)) continue;
    const bool ok =
        client.open ? qelwire::RecvFrame(fd, &req, kIoTimeoutMs, kFrameMax) : RecvLoginFrame(fd, &req, deadline);
    if (!ok) break;
    qelwire::Reader r(req);
    int32_t op = 0;
    r.Int(&op);
    std::string reply;
    if (op == qelwire::kOpen) {
      std::string db, user, password;
      r.Str(&db);
      r.Str(&user);
      r.Str(&password);
      const std::string err = client.Open(user, password);
      if (!err.empty()) {
        if (!Pause(loginDelay)) break;
        loginDelay = std::min(loginDelay * 2, kLoginDelayMaxMs);
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLoginMs);
      }
      qelwire::Writer w;
      w.Int(err.empty() ? 0 : -1);
      w.Str(err);
      reply = w.Body();
    } else if (op == qelwire::kExec) {
      std::string sql;
      r.Str(&sql);
      reply = client.Exec(sql);
    } else {
      break;
    }
    if (!qelwire::SendFrame(fd, reply, kIoTimeoutMs)) break;
  }
  // The client sees the end now; the descriptor is closed by whoever joins
  // this thread, so it cannot be reused while the stop still names it.
  shutdown(fd, SHUT_RDWR);
}

const char kUsage[] =
    "usage: qeldbgwd --odbc CONNECTION [--port N] [--user U --password P]\n"
    "  Serves one ODBC database to gateway clients on 127.0.0.1.\n"
    "  --odbc CONNECTION  the ODBC connection string (required), e.g.\n"
    "                     \"DRIVER=SQLite3;Database=/path/file.db\"\n"
    "  --port N           the TCP port (default 2013)\n"
    "  --user U, --password P  the login clients must give (default: any)\n"
    "  --help             this text\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "qeldbgwd: %s\n", problem);
  std::fputs(kUsage, problem ? stderr : stdout);
  return problem ? 2 : 0;
}

// One client's thread; done once it has let its socket go.
struct Worker {
  std::thread thread;
  int fd = -1;  // closed once the thread is joined
  std::atomic<bool> done{false};
};

}  // namespace

int main(int argc, char** argv) {
  int port = 2013;
  bool haveOdbc = false;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    if (k == "--help" || k == "-h") return Usage(nullptr);
    if (k != "--port" && k != "--odbc" && k != "--user" && k != "--password")
      return Usage(("unknown option " + k).c_str());
    if (i + 1 >= argc) return Usage((k + " needs a value").c_str());
    const std::string v = argv[++i];
    if (k == "--port") {
      char* end = nullptr;
      const long p = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || p < 1 || p > 65535) return Usage(("bad port " + v).c_str());
      port = static_cast<int>(p);
    } else if (k == "--odbc") {
      g_odbc = v;
      haveOdbc = true;
    } else if (k == "--user") {
      g_user = v;
    } else {
      g_password = v;
    }
  }
  if (!haveOdbc || g_odbc.empty()) return Usage("--odbc CONNECTION is required");
  {
    // A database that cannot be reached is reported now, not to each client.
    Client probe;
    const std::string err = probe.Open(g_user, g_password);
    if (!err.empty()) {
      std::fprintf(stderr, "qeldbgwd: cannot connect to the database: %s\n", err.c_str());
      return 1;
    }
  }
  // Client threads come and go; a malloc arena of its own for each would
  // keep 64 MB of address space apiece for good.
  mallopt(M_ARENA_MAX, 2);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 64) != 0) {
    std::perror("qeldbgwd: listen");
    return 1;
  }
  std::list<Worker> workers;
  auto reap = [&] {
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->done.load()) {
        it->thread.join();
        close(it->fd);
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  };
  time_t lastFull = 0;
  while (!g_stop.load()) {
    reap();
    if (!qelwire::WaitReady(ls, POLLIN, 100)) continue;
    const int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the pending connection stays ready, so wait
        // for clients to leave instead of spinning; say so once a second.
        const time_t now = time(nullptr);
        if (now != lastFull) std::fprintf(stderr, "qeldbgwd: accept: %s\n", std::strerror(errno));
        lastFull = now;
        usleep(100 * 1000);
      }
      continue;
    }
    if (workers.size() >= kMaxClients) {
      close(fd);
      continue;
    }
    Worker& w = workers.emplace_back();
    w.fd = fd;
    // Workers never take SIGTERM or SIGINT: the stop is seen by this loop,
    // which is where the signal goes.
    sigset_t stopSignals, before;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &before);
    try {
      w.thread = std::thread([fd, &w] {
        Serve(fd);
        w.done.store(true);
      });
    } catch (const std::system_error&) {
      close(fd);
      workers.pop_back();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  close(ls);
  // A worker inside a long read or write ends now rather than at its time-out.
  for (auto& w : workers) shutdown(w.fd, SHUT_RDWR);
  for (auto& w : workers) {
    w.thread.join();
    close(w.fd);
  }
  return 0;
}
