// A small database gateway on loopback: serves our gateway library's
// clients, runs their statements through ODBC and ships whole results back.
//
//   qeldbgwd --port N --odbc "DRIVER=SQLite3;Database=/path/file.db"
//            [--user U --password P]
//
// One thread and one ODBC connection per client; SIGTERM or SIGINT ends it.
#include <netinet/in.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/qeldb/wire.h"

namespace {

std::atomic<bool> g_stop{false};
std::string g_odbc, g_user, g_password;
constexpr int kIoTimeoutMs = 600000;
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

void Serve(int fd) {
  Client client;
  std::string req;
  while (!g_stop.load()) {
    if (!qelwire::WaitReady(fd, POLLIN, 100)) continue;
    if (!qelwire::RecvFrame(fd, &req, kIoTimeoutMs)) break;
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
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 2013;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--port") port = atoi(argv[i + 1]);
    else if (k == "--odbc") g_odbc = argv[i + 1];
    else if (k == "--user") g_user = argv[i + 1];
    else if (k == "--password") g_password = argv[i + 1];
  }
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
  std::vector<std::thread> threads;
  while (!g_stop.load()) {
    if (!qelwire::WaitReady(ls, POLLIN, 100)) continue;
    const int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) threads.emplace_back(Serve, fd);
  }
  close(ls);
  for (auto& t : threads) t.join();
  return 0;
}
