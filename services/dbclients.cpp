#include "services/dbclients.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "services/syb.h"

namespace {

struct Binding {
  void* handle = nullptr;  // the handle the table was resolved from
  void* owned = nullptr;   // a handle opened here, closed at unbind
};

std::mutex g_bindLock;
Binding g_syb, g_my, g_qel;
TagSybApi g_sybApi;
TagMySqlApi g_myApi;
TagQelDbApi g_qelApi;
// Published after the table is filled; read by data sets on line threads.
std::atomic<const TagSybApi*> g_sybBound{nullptr};
std::atomic<const TagMySqlApi*> g_myBound{nullptr};
std::atomic<const TagQelDbApi*> g_qelBound{nullptr};

template <typename F>
void Sym(void* h, F& slot, const char* name) {
  slot = reinterpret_cast<F>(dlsym(h, name));
}

// The gateway's calls may also carry the decorated name.
template <typename F>
void QelSym(void* h, F& slot, const char* name) {
  Sym(h, slot, name);
  if (slot) return;
  char decorated[80];
  std::snprintf(decorated, sizeof decorated, "_%s@8", name);
  Sym(h, slot, decorated);
}

void CloseOwned(Binding& b) {
  if (b.owned) dlclose(b.owned);
  b.owned = nullptr;
  b.handle = nullptr;
}

// Data sets (pooled backends above all) may outlive the line manager that
// closes its handle: the library stays mapped while the process lives, so a
// late close never calls into unmapped code.
void KeepMapped(void* symbol) {
  Dl_info info{};
  if (symbol && dladdr(symbol, &info) && info.dli_fname) {
    [[maybe_unused]] void* keep = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  }
}

int OpenFile(const char* file, void** out) {
  *out = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  char text[600];
  std::snprintf(text, sizeof text, *out ? "LoadLibrary('%s') : 0, OK." : "LoadLibrary('%s') : -1.", file);
  RawLog(text);
  return *out ? 0 : -1;
}

}  // namespace

int BindSybLibrary(void* h) {
  std::lock_guard<std::mutex> g(g_bindLock);
  if (!h) return -1;
  TagSybApi& a = g_sybApi;
  a = {};
  Sym(h, a.dbinit, "dbinit");
  if (!a.dbinit) {
    RawLog("GetProcAddress('dbinit') : NULL.");
    return -2;
  }
  Sym(h, a.dblogin, "dblogin");
  Sym(h, a.dberrhandle, "dberrhandle");
  Sym(h, a.dbmsghandle, "dbmsghandle");
  Sym(h, a.dbsetlname, "dbsetlname");
  Sym(h, a.dbopen, "dbopen");
  Sym(h, a.tdsdbopen, "tdsdbopen");
  Sym(h, a.dbsetopt, "dbsetopt");
  Sym(h, a.dbclose, "dbclose");
  Sym(h, a.dbcmd, "dbcmd");
  Sym(h, a.dbsqlsend, "dbsqlsend");
  Sym(h, a.dbsqlok, "dbsqlok");
  Sym(h, a.dbresults, "dbresults");
  Sym(h, a.dbhasretstat, "dbhasretstat");
  Sym(h, a.dbretstatus, "dbretstatus");
  Sym(h, a.dbnumcols, "dbnumcols");
  Sym(h, a.dbcolname, "dbcolname");
  Sym(h, a.dbcoltype, "dbcoltype");
  Sym(h, a.dbcollen, "dbcollen");
  Sym(h, a.dbbind, "dbbind");
  Sym(h, a.dbnextrow, "dbnextrow");
  Sym(h, a.dbcanquery, "dbcanquery");
  Sym(h, a.dbdead, "dbdead");
  Sym(h, a.dbsetlogintime, "dbsetlogintime");
  Sym(h, a.dbsettime, "dbsettime");
  Sym(h, a.dbloginfree, "dbloginfree");
  // dbinit puts back the library's own handlers (FreeTDS's ends the process
  // on a failed login): run it once, then install ours.
  a.dbinit();
  if (a.dberrhandle) a.dberrhandle(SybErrHandler);
  if (a.dbmsghandle) a.dbmsghandle(SybMsgHandler);
  if (a.dbsetlogintime) a.dbsetlogintime(5);
  if (a.dbsettime) a.dbsettime(60);
  KeepMapped(reinterpret_cast<void*>(a.dbinit));
  g_syb.handle = h;
  g_sybBound = &g_sybApi;
  return 0;
}

int BindMySqlLibrary(void* h) {
  std::lock_guard<std::mutex> g(g_bindLock);
  if (!h) return -1;
  TagMySqlApi& a = g_myApi;
  a = {};
  Sym(h, a.mysql_init, "mysql_init");
  if (!a.mysql_init) {
    RawLog("GetProcAddress('mysql_init') : NULL.");
    return -2;
  }
  Sym(h, a.mysql_real_connect, "mysql_real_connect");
  Sym(h, a.mysql_free_result, "mysql_free_result");
  Sym(h, a.mysql_close, "mysql_close");
  Sym(h, a.mysql_query, "mysql_query");
  Sym(h, a.mysql_store_result, "mysql_store_result");
  Sym(h, a.mysql_error, "mysql_error");
  Sym(h, a.mysql_num_rows, "mysql_num_rows");
  Sym(h, a.mysql_num_fields, "mysql_num_fields");
  Sym(h, a.mysql_field_seek, "mysql_field_seek");
  Sym(h, a.mysql_fetch_field, "mysql_fetch_field");
  Sym(h, a.mysql_data_seek, "mysql_data_seek");
  Sym(h, a.mysql_fetch_row, "mysql_fetch_row");
  Sym(h, a.mysql_options, "mysql_options");
  Sym(h, a.mysql_errno, "mysql_errno");
  Sym(h, a.mysql_field_count, "mysql_field_count");
  Sym(h, a.mysql_fetch_lengths, "mysql_fetch_lengths");
  Sym(h, a.mysql_get_socket, "mysql_get_socket");
  KeepMapped(reinterpret_cast<void*>(a.mysql_init));
  g_my.handle = h;
  g_myBound = &g_myApi;
  return 0;
}

int BindQelDbLibrary(void* h) {
  std::lock_guard<std::mutex> g(g_bindLock);
  if (!h) return -1;
  TagQelDbApi& a = g_qelApi;
  a = {};
  QelSym(h, a.QelDbInit, "QelDbInit");
  if (!a.QelDbInit) {
    RawLog("GetProcAddress('QelDbInit') : NULL.");
    return -2;
  }
  QelSym(h, a.QelDbFree, "QelDbFree");
  QelSym(h, a.QelDbOpen, "QelDbOpen");
  QelSym(h, a.QelDbClose, "QelDbClose");
  QelSym(h, a.QelDbExec, "QelDbExec");
  QelSym(h, a.QelDbRows, "QelDbRows");
  QelSym(h, a.QelDbCols, "QelDbCols");
  QelSym(h, a.QelDbGetColInfoByIndex, "QelDbGetColInfoByIndex");
  QelSym(h, a.QelDbGetColInfoByName, "QelDbGetColInfoByName");
  QelSym(h, a.QelDbNext, "QelDbNext");
  QelSym(h, a.QelDbGotoRec, "QelDbGotoRec");
  QelSym(h, a.QelDbGetValByName, "QelDbGetValByName");
  QelSym(h, a.QelDbGetValByIndex, "QelDbGetValByIndex");
  KeepMapped(reinterpret_cast<void*>(a.QelDbInit));
  g_qel.handle = h;
  g_qelBound = &g_qelApi;
  return 0;
}

void UnbindSybLibrary() {
  std::lock_guard<std::mutex> g(g_bindLock);
  g_sybBound = nullptr;
  CloseOwned(g_syb);
}

void UnbindMySqlLibrary() {
  std::lock_guard<std::mutex> g(g_bindLock);
  g_myBound = nullptr;
  CloseOwned(g_my);
}

void UnbindQelDbLibrary() {
  std::lock_guard<std::mutex> g(g_bindLock);
  g_qelBound = nullptr;
  CloseOwned(g_qel);
}

namespace {
int BindFile(const char* file, Binding& b, int (*bind)(void*), void (*unbind)()) {
  unbind();
  void* h = nullptr;
  if (OpenFile(file, &h) < 0) return -1;
  const int r = bind(h);
  if (r < 0) {
    dlclose(h);
    return r;
  }
  std::lock_guard<std::mutex> g(g_bindLock);
  b.owned = h;
  return r;
}
}  // namespace

int BindSybFile(const char* file) { return BindFile(file, g_syb, BindSybLibrary, UnbindSybLibrary); }
int BindMySqlFile(const char* file) { return BindFile(file, g_my, BindMySqlLibrary, UnbindMySqlLibrary); }
int BindQelDbFile(const char* file) {
  const int r = BindFile(file, g_qel, BindQelDbLibrary, UnbindQelDbLibrary);
  if (r == 0 && g_qelApi.QelDbInit() < 0) {
    RawLog("_QelDbInit() : Error!");
    UnbindQelDbLibrary();
    return -3;
  }
  return r;
}

const TagSybApi* SybApi() { return g_sybBound.load(); }
const TagMySqlApi* MySqlApi() { return g_myBound.load(); }
const TagQelDbApi* QelDbApi() { return g_qelBound.load(); }
