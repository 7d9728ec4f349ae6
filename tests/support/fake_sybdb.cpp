// TEST DOUBLE of FreeTDS's DB-Library (libsybdb), for the tests only. No SQL
// Server can run here, so this library answers the DB-Library calls the SQL
// Server data set makes, keeping each "server" as a SQLite file
// <dir>/<server>.db. It reproduces what matters of FreeTDS: its constants,
// dbinit putting back the default handlers (a handler installed before it is
// lost), dbopen only as tdsdbopen, batches split into result sets, SQL errors
// reported through the message handler. Tests steer it with the fakesyb_*
// calls: refuse logins, kill connections, fail a fetch, read the journal.
#include <sqlite3.h>
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Login {
  std::string user, password, app;
};

struct ResultSet {
  bool failed = false;
  std::vector<std::string> names;
  std::vector<int> types;
  std::vector<int> lens;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<bool>> nulls;
};

struct Proc {
  sqlite3* db = nullptr;
  std::string server;
  std::string cmd;
  std::vector<ResultSet> results;
  size_t next = 0;     // next result set for dbresults
  long current = -1;   // the result set being read
  size_t row = 0;      // next row of it
  std::vector<std::pair<int, uint8_t*>> binds;  // per column: (varlen, buffer)
  bool dead = false;
  bool sent = false;
};

using ErrFn = int (*)(Proc*, int, int, int, char*, char*);
using MsgFn = int (*)(Proc*, int32_t, int, int, char*, char*, char*, int);

std::mutex g_lock;
std::string g_dir = ".";
std::string g_journal;
std::set<Proc*> g_procs;
bool g_refuse = false;
long g_failFetchAfter = -1;  // rows before a fetch fails (-1: never)
int g_defaultErrCalls = 0;
int g_loginTime = 0, g_queryTime = 0;

int DefaultErr(Proc*, int, int, int, char*, char*) {
  // FreeTDS's own handler: a failed login ends the process there.
  ++g_defaultErrCalls;
  return 0;  // INT_EXIT
}
ErrFn g_err = DefaultErr;
MsgFn g_msg = nullptr;

void RaiseErr(Proc* p, int dberr, const char* text, int oserr, const char* ostext) {
  std::string a = text, b = ostext ? ostext : "";
  g_err(p, 9, dberr, oserr, a.data(), b.data());
}

void RaiseMsg(Proc* p, int32_t no, int severity, const std::string& text) {
  if (!g_msg) return;
  std::string t = text, srv = p ? p->server : "", proc;
  g_msg(p, no, 1, severity, t.data(), srv.data(), proc.data(), 1);
}

// DB-Library type and length for a declared column type or a value.
void TypeOf(const char* decl, int sqliteType, int* type, int* len) {
  std::string d = decl ? decl : "";
  for (char& c : d) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  int n = 0;
  if (auto p = d.find('('); p != std::string::npos) n = atoi(d.c_str() + p + 1);
  auto starts = [&](const char* w) { return d.rfind(w, 0) == 0; };
  if (starts("varbinary")) { *type = 37; *len = n; }
  else if (starts("varchar")) { *type = 39; *len = n; }
  else if (starts("char")) { *type = 47; *len = n; }
  else if (starts("tinyint")) { *type = 48; *len = 1; }
  else if (starts("bit")) { *type = 50; *len = 1; }
  else if (starts("smallint")) { *type = 52; *len = 2; }
  else if (starts("int")) { *type = 56; *len = 4; }
  else if (starts("money")) { *type = 60; *len = 8; }
  else if (starts("datetime")) { *type = 61; *len = 8; }
  else if (starts("float")) { *type = 62; *len = 8; }
  else if (starts("text")) { *type = 35; *len = 4096; }
  else if (sqliteType == SQLITE_INTEGER) { *type = 56; *len = 4; }
  else if (sqliteType == SQLITE_FLOAT) { *type = 62; *len = 8; }
  else { *type = 39; *len = 255; }
}

void RunBatch(Proc* p) {
  p->results.clear();
  p->next = 0;
  p->current = -1;
  const char* sql = p->cmd.c_str();
  while (sql && *sql) {
    while (*sql == ' ' || *sql == '\n' || *sql == '\t' || *sql == '\r' || *sql == ';') ++sql;
    if (!*sql) break;
    if (strncasecmp(sql, "use ", 4) == 0) {
      const char* end = strchr(sql, ';');
      ResultSet rs;
      p->results.push_back(rs);
      sql = end ? end + 1 : nullptr;
      continue;
    }
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(p->db, sql, -1, &st, &tail) != SQLITE_OK) {
      RaiseMsg(p, 102, 15, sqlite3_errmsg(p->db));
      ResultSet rs;
      rs.failed = true;
      p->results.push_back(rs);
      return;  // the rest of the batch is not run
    }
    ResultSet rs;
    const int n = sqlite3_column_count(st);
    int rc;
    bool typed = false;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (!typed) {
        for (int c = 0; c < n; ++c) {
          int t, l;
          TypeOf(sqlite3_column_decltype(st, c), sqlite3_column_type(st, c), &t, &l);
          rs.names.push_back(sqlite3_column_name(st, c));
          rs.types.push_back(t);
          rs.lens.push_back(l);
        }
        typed = true;
      }
      std::vector<std::string> row;
      std::vector<bool> nulls;
      for (int c = 0; c < n; ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        nulls.push_back(v == nullptr);
        row.emplace_back(v ? reinterpret_cast<const char*>(v) : "");
      }
      rs.rows.push_back(std::move(row));
      rs.nulls.push_back(std::move(nulls));
    }
    if (!typed) {
      for (int c = 0; c < n; ++c) {
        int t, l;
        TypeOf(sqlite3_column_decltype(st, c), SQLITE_TEXT, &t, &l);
        rs.names.push_back(sqlite3_column_name(st, c));
        rs.types.push_back(t);
        rs.lens.push_back(l);
      }
    }
    if (rc != SQLITE_DONE) {
      RaiseMsg(p, 547, 16, sqlite3_errmsg(p->db));
      rs = ResultSet();
      rs.failed = true;
    }
    sqlite3_finalize(st);
    p->results.push_back(std::move(rs));
    if (p->results.back().failed) return;
    sql = tail;
  }
}

}  // namespace

extern "C" {

// --- the DB-Library calls ---
int dbinit() {
  std::lock_guard<std::mutex> g(g_lock);
  g_err = DefaultErr;  // as FreeTDS: every dbinit puts the defaults back
  g_msg = nullptr;
  return 1;
}
ErrFn dberrhandle(ErrFn f) {
  std::lock_guard<std::mutex> g(g_lock);
  ErrFn old = g_err;
  g_err = f ? f : DefaultErr;
  return old;
}
MsgFn dbmsghandle(MsgFn f) {
  std::lock_guard<std::mutex> g(g_lock);
  MsgFn old = g_msg;
  g_msg = f;
  return old;
}
Login* dblogin() { return new Login; }
void dbloginfree(Login* l) { delete l; }
int dbsetlname(Login* l, const char* v, int which) {
  if (!l) return 0;
  switch (which) {
    case 2: l->user = v ? v : ""; return 1;
    case 3: l->password = v ? v : ""; return 1;
    case 5: l->app = v ? v : ""; return 1;
    default: return 0;
  }
}
int dbsetlogintime(int s) { g_loginTime = s; return 1; }
int dbsettime(int s) { g_queryTime = s; return 1; }
int dbsetopt(Proc*, int, const char*, int) { return 1; }

Proc* tdsdbopen(Login* l, const char* server, int) {
  std::unique_lock<std::mutex> g(g_lock);
  g_journal += "LOGIN " + std::string(server ? server : "") + " " + (l ? l->user + " " + l->app : "") + "\n";
  if (!l || g_refuse) {
    g.unlock();
    std::string s = std::string("Login failed for user '") + (l ? l->user : "") + "'.";
    RaiseMsg(nullptr, 18456, 14, s);
    RaiseErr(nullptr, 20014, "Login incorrect.", -1, nullptr);
    return nullptr;
  }
  auto* p = new Proc;
  p->server = server ? server : "";
  const std::string file = g_dir + "/" + p->server + ".db";
  if (sqlite3_open_v2(file.c_str(), &p->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close(p->db);
    delete p;
    g.unlock();
    RaiseErr(nullptr, 20009, "Unable to connect: server is unavailable or does not exist.", -1, nullptr);
    return nullptr;
  }
  sqlite3_busy_timeout(p->db, 10000);
  g_procs.insert(p);
  return p;
}

void dbclose(Proc* p) {
  if (!p) return;
  std::lock_guard<std::mutex> g(g_lock);
  g_procs.erase(p);
  sqlite3_close(p->db);
  delete p;
}

int dbdead(Proc* p) {
  std::lock_guard<std::mutex> g(g_lock);
  return !p || p->dead;
}

int dbcmd(Proc* p, const char* s) {
  if (!p) return 0;
  if (p->sent) {
    p->cmd.clear();
    p->sent = false;
  }
  p->cmd += s ? s : "";
  return 1;
}

int dbsqlsend(Proc* p) {
  if (!p) return 0;
  bool dead;
  {
    std::lock_guard<std::mutex> g(g_lock);
    dead = p->dead;
    if (!dead) g_journal += "SEND " + p->cmd + "\n";
  }
  if (dead) {
    RaiseErr(p, 20006, "Write to the server failed", 32, "Broken pipe");
    return 0;
  }
  p->sent = true;
  return 1;
}

int dbsqlok(Proc* p) {
  if (!p || !p->sent) return 0;
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (p->dead) return 0;
  }
  RunBatch(p);
  return 1;
}

int dbresults(Proc* p) {
  if (!p) return 0;
  if (p->next >= p->results.size()) return 2;
  p->current = static_cast<long>(p->next++);
  p->row = 0;
  p->binds.assign(p->results[p->current].names.size(), {0, nullptr});
  return p->results[p->current].failed ? 0 : 1;
}

int dbhasretstat(Proc*) { return 0; }
int32_t dbretstatus(Proc*) { return 0; }

static ResultSet* Cur(Proc* p) { return p && p->current >= 0 ? &p->results[p->current] : nullptr; }

int dbnumcols(Proc* p) {
  ResultSet* r = Cur(p);
  return r ? static_cast<int>(r->names.size()) : 0;
}
char* dbcolname(Proc* p, int c) {
  ResultSet* r = Cur(p);
  return r && c >= 1 && c <= static_cast<int>(r->names.size()) ? r->names[c - 1].data() : nullptr;
}
int dbcoltype(Proc* p, int c) {
  ResultSet* r = Cur(p);
  return r && c >= 1 && c <= static_cast<int>(r->types.size()) ? r->types[c - 1] : -1;
}
int32_t dbcollen(Proc* p, int c) {
  ResultSet* r = Cur(p);
  return r && c >= 1 && c <= static_cast<int>(r->lens.size()) ? r->lens[c - 1] : -1;
}
int dbbind(Proc* p, int c, int vartype, int32_t varlen, uint8_t* buf) {
  ResultSet* r = Cur(p);
  if (!r || c < 1 || c > static_cast<int>(r->names.size())) return 0;
  if (vartype != 1) {
    // Only the text bind is served here; FreeTDS's 10 is a float bind.
    RaiseErr(p, 20023, "Unknown bind type passed to DB-LIBRARY function.", -1, nullptr);
    return 0;
  }
  p->binds[c - 1] = {varlen, buf};
  return 1;
}
int dbnextrow(Proc* p) {
  ResultSet* r = Cur(p);
  if (!r) return 0;
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (p->dead) return 0;
    if (g_failFetchAfter >= 0 && static_cast<long>(p->row) >= g_failFetchAfter) return 0;
  }
  if (p->row >= r->rows.size()) return -2;
  const auto& row = r->rows[p->row++];
  for (size_t c = 0; c < row.size(); ++c) {
    auto [len, buf] = p->binds[c];
    if (!buf || len <= 0) continue;
    // STRINGBIND: the text blank-padded to varlen - 1, then a NUL.
    const size_t n = std::min(row[c].size(), static_cast<size_t>(len - 1));
    std::memcpy(buf, row[c].data(), n);
    std::memset(buf + n, ' ', len - 1 - n);
    buf[len - 1] = 0;
  }
  return -1;
}
int dbcanquery(Proc* p) {
  ResultSet* r = Cur(p);
  if (r) p->row = r->rows.size();
  return 1;
}

// --- steering from the tests ---
void fakesyb_SetDir(const char* dir) {
  std::lock_guard<std::mutex> g(g_lock);
  g_dir = dir ? dir : ".";
}
void fakesyb_RefuseLogins(int on) {
  std::lock_guard<std::mutex> g(g_lock);
  g_refuse = on != 0;
}
void fakesyb_KillAll() {
  std::lock_guard<std::mutex> g(g_lock);
  for (Proc* p : g_procs) p->dead = true;
}
void fakesyb_FailFetchAfter(long rows) {
  std::lock_guard<std::mutex> g(g_lock);
  g_failFetchAfter = rows;
}
int fakesyb_DefaultHandlerCalls() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_defaultErrCalls;
}
int fakesyb_LoginTime() { return g_loginTime; }
// The journal's text since the last reset; the pointer lives until the next call.
const char* fakesyb_Journal() {
  static std::string copy;
  std::lock_guard<std::mutex> g(g_lock);
  copy = g_journal;
  return copy.c_str();
}
void fakesyb_Reset() {
  std::lock_guard<std::mutex> g(g_lock);
  g_journal.clear();
  g_refuse = false;
  g_failFetchAfter = -1;
  g_defaultErrCalls = 0;
}

}  // extern "C"
