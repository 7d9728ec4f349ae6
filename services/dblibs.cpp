#include "services/dblibs.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "core/log.h"
#include "services/dbclients.h"

namespace {

struct LibInfo {
  const char* file;
  const char* env;
  const char* handleName;  // in the unbinding trace
  std::vector<const char*> names;  // the first one must be there
  bool decorated;  // also looked up as "_%s@8"
};

const LibInfo& Info(int which) {
  static const LibInfo infos[kDbLibCount] = {
      {"libmariadb.so.3",
       "RODIZ_DBLIB_MYSQL",
       "mySqlHd",
       {"mysql_init", "mysql_real_connect", "mysql_free_result", "mysql_close", "mysql_query", "mysql_store_result",
        "mysql_error", "mysql_num_rows", "mysql_num_fields", "mysql_field_seek", "mysql_fetch_field",
        "mysql_data_seek", "mysql_fetch_row", "mysql_options"},
       false},
      {"libqeldbapi.so",
       "RODIZ_DBLIB_GATEWAY",
       "qelDbHd",
       {"QelDbInit", "QelDbFree", "QelDbOpen", "QelDbClose", "QelDbExec", "QelDbRows", "QelDbCols",
        "QelDbGetColInfoByIndex", "QelDbGetColInfoByName", "QelDbNext", "QelDbGotoRec", "QelDbGetValByName",
        "QelDbGetValByIndex"},
       true},
      {"libsybdb.so.5",
       "RODIZ_DBLIB_SQLSERVER",
       "sybHd",
       {"dbinit", "dblogin", "dberrhandle", "dbmsghandle", "dbsetlname", "dbopen", "dbsetopt", "dbclose", "dbcmd",
        "dbsqlsend", "dbsqlok", "dbresults", "dbhasretstat", "dbretstatus", "dbnumcols", "dbcolname", "dbcoltype",
        "dbcollen", "dbbind", "dbnextrow", "dbcanquery", "dbdead"},
       false},
  };
  return infos[which];
}

struct Bound {
  void* handle = nullptr;
  std::map<std::string, void*> functions;
};

std::mutex g_mu;
Bound g_libs[kDbLibCount];

// The data sets' client tables take a bound library's calls from its handle
// and forget them before it is freed.
void BindClients(int which, void* handle) {
  switch (which) {
    case kDbLibMySql: BindMySqlLibrary(handle); break;
    case kDbLibGateway: BindQelDbLibrary(handle); break;
    case kDbLibSqlServer: BindSybLibrary(handle); break;
    default: break;
  }
}

void UnbindClients(int which) {
  switch (which) {
    case kDbLibMySql: UnbindMySqlLibrary(); break;
    case kDbLibGateway: UnbindQelDbLibrary(); break;
    case kDbLibSqlServer: UnbindSybLibrary(); break;
    default: break;
  }
}

bool Valid(int which) { return which >= 0 && which < kDbLibCount; }

void* Lookup(void* handle, const char* name, bool decorated) {
  void* f = dlsym(handle, name);
  if (f == nullptr && decorated) {
    char alt[128];
    std::snprintf(alt, sizeof alt, "_%s@8", name);
    f = dlsym(handle, alt);
  }
  return f;
}

void FreeTraced(int which, void* handle) {
  char text[64];
  std::snprintf(text, sizeof text, "FreeLibrary(%s)...", Info(which).handleName);
  RawLog(text);
  dlclose(handle);
  std::snprintf(text, sizeof text, "FreeLibrary(%s).", Info(which).handleName);
  RawLog(text);
}

void UnbindLocked(int which) {
  Bound& b = g_libs[which];
  if (b.handle == nullptr) return;
  UnbindClients(which);
  void* handle = b.handle;
  b = Bound();
  FreeTraced(which, handle);
}

}  // namespace

const char* DbLibraryName(int which) { return Valid(which) ? Info(which).file : ""; }

std::string DbLibraryFile(int which) {
  if (!Valid(which)) return "";
  const char* env = std::getenv(Info(which).env);
  return env && *env ? env : Info(which).file;
}

int BindDbLibrary(int which) {
  if (!Valid(which)) return -1;
  const LibInfo& info = Info(which);
  const std::string file = DbLibraryFile(which);
  UnbindDbLibrary(which);
  // Loading and the gateway's initialisation run without the lock.
  char text[600];
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::snprintf(text, sizeof text, "LoadLibrary('%s') : -1.", file.c_str());
    RawLog(text);
    return -1;
  }
  Bound b;
  b.handle = handle;
  for (const char* name : info.names) {
    void* f = Lookup(handle, name, info.decorated);
    if (f == nullptr && name == info.names.front()) {
      std::snprintf(text, sizeof text, "GetProcAddress('%s') : NULL.", name);
      RawLog(text);
      dlclose(handle);
      return -2;
    }
    if (f != nullptr) b.functions[name] = f;
  }
  std::snprintf(text, sizeof text, "LoadLibrary('%s') : 0, OK.", file.c_str());
  RawLog(text);
  if (which == kDbLibGateway) {
    using InitFn = int (*)();
    if (reinterpret_cast<InitFn>(b.functions["QelDbInit"])() < 0) {
      RawLog("_QelDbInit() : Error!");
      FreeTraced(which, handle);
      return -3;
    }
  }
  {
    std::lock_guard<std::mutex> lock(g_mu);
    UnbindLocked(which);
    g_libs[which] = std::move(b);
  }
  BindClients(which, handle);
  return 0;
}

void UnbindDbLibrary(int which) {
  if (!Valid(which)) return;
  std::lock_guard<std::mutex> lock(g_mu);
  UnbindLocked(which);
}

bool DbLibraryBound(int which) { return DbLibraryHandle(which) != nullptr; }

void* DbLibraryHandle(int which) {
  if (!Valid(which)) return nullptr;
  std::lock_guard<std::mutex> lock(g_mu);
  return g_libs[which].handle;
}

void* DbLibraryFunction(int which, const std::string& name) {
  if (!Valid(which)) return nullptr;
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_libs[which].functions.find(name);
  return it == g_libs[which].functions.end() ? nullptr : it->second;
}
