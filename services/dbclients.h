#pragma once
// The three database client libraries, bound function by function from a
// library handle: DB-Library (FreeTDS), the MySQL client (MariaDB
// Connector/C) and the gateway library. The line manager opens the files by
// name at start and hands the handles here; tests bind a file of their own.
// A table stays valid until its library is unbound; data sets read it only
// while their kind is bound.
#include <cstdint>

// DB-Library as FreeTDS exports it. Only the calls and constants the SQL
// Server data set uses.
namespace syb {
struct DbProcess;
struct LoginRec;
using ErrHandler = int (*)(DbProcess*, int severity, int dberr, int oserr, char* dberrstr, char* oserrstr);
using MsgHandler = int (*)(DbProcess*, int32_t msgno, int msgstate, int severity, char* msgtext, char* srvname,
                           char* proc, int line);
constexpr int kSucceed = 1;
constexpr int kFail = 0;
constexpr int kNoMoreResults = 2;
constexpr int kRegRow = -1;
constexpr int kNoMoreRows = -2;
constexpr int kIntCancel = 2;
constexpr int kStringBind = 1;  // FreeTDS's number; 10 binds a float there
constexpr int kSetUser = 2;
constexpr int kSetPwd = 3;
constexpr int kSetApp = 5;  // the application name; 4 is something else here
}  // namespace syb

struct TagSybApi {
  int (*dbinit)();
  syb::LoginRec* (*dblogin)();
  syb::ErrHandler (*dberrhandle)(syb::ErrHandler);
  syb::MsgHandler (*dbmsghandle)(syb::MsgHandler);
  int (*dbsetlname)(syb::LoginRec*, const char*, int);
  syb::DbProcess* (*dbopen)(syb::LoginRec*, const char*);
  syb::DbProcess* (*tdsdbopen)(syb::LoginRec*, const char*, int msdblib);
  int (*dbsetopt)(syb::DbProcess*, int, const char*, int);
  void (*dbclose)(syb::DbProcess*);
  int (*dbcmd)(syb::DbProcess*, const char*);
  int (*dbsqlsend)(syb::DbProcess*);
  int (*dbsqlok)(syb::DbProcess*);
  int (*dbresults)(syb::DbProcess*);
  int (*dbhasretstat)(syb::DbProcess*);
  int32_t (*dbretstatus)(syb::DbProcess*);
  int (*dbnumcols)(syb::DbProcess*);
  char* (*dbcolname)(syb::DbProcess*, int);
  int (*dbcoltype)(syb::DbProcess*, int);
  int32_t (*dbcollen)(syb::DbProcess*, int);
  int (*dbbind)(syb::DbProcess*, int, int, int32_t, uint8_t*);
  int (*dbnextrow)(syb::DbProcess*);
  int (*dbcanquery)(syb::DbProcess*);
  int (*dbdead)(syb::DbProcess*);
  // Time-outs, so a dead server cannot hold a line for ever.
  int (*dbsetlogintime)(int);
  int (*dbsettime)(int);
  void (*dbloginfree)(syb::LoginRec*);
  // Opens through dbopen, or tdsdbopen with Microsoft semantics when the
  // library has dbopen only as a macro.
  syb::DbProcess* Open(syb::LoginRec* login, const char* server) const {
    if (dbopen) return dbopen(login, server);
    return tdsdbopen ? tdsdbopen(login, server, 1) : nullptr;
  }
};

// The MySQL client's C API (opaque structures: the connection is allocated
// by mysql_init).
namespace mysqlc {
struct Mysql;
struct Result;
// The head of the client's field description, as Connector/C lays it out.
struct Field {
  char* name;
  char* org_name;
  char* table;
  char* org_table;
  char* db;
  char* catalog;
  char* def;
  unsigned long length;
  unsigned long max_length;
};
using Row = char**;
constexpr int kOptConnectTimeout = 0;
constexpr int kOptReadTimeout = 11;
constexpr int kOptWriteTimeout = 12;
constexpr unsigned kServerGone = 2006;
}  // namespace mysqlc

struct TagMySqlApi {
  mysqlc::Mysql* (*mysql_init)(mysqlc::Mysql*);
  mysqlc::Mysql* (*mysql_real_connect)(mysqlc::Mysql*, const char*, const char*, const char*, const char*, unsigned,
                                       const char*, unsigned long);
  void (*mysql_free_result)(mysqlc::Result*);
  void (*mysql_close)(mysqlc::Mysql*);
  int (*mysql_query)(mysqlc::Mysql*, const char*);
  mysqlc::Result* (*mysql_store_result)(mysqlc::Mysql*);
  const char* (*mysql_error)(mysqlc::Mysql*);
  unsigned long long (*mysql_num_rows)(mysqlc::Result*);
  unsigned (*mysql_num_fields)(mysqlc::Result*);
  unsigned (*mysql_field_seek)(mysqlc::Result*, unsigned);
  mysqlc::Field* (*mysql_fetch_field)(mysqlc::Result*);
  void (*mysql_data_seek)(mysqlc::Result*, unsigned long long);
  mysqlc::Row (*mysql_fetch_row)(mysqlc::Result*);
  int (*mysql_options)(mysqlc::Mysql*, int, const void*);
  unsigned (*mysql_errno)(mysqlc::Mysql*);
  unsigned (*mysql_field_count)(mysqlc::Mysql*);
  unsigned long* (*mysql_fetch_lengths)(mysqlc::Result*);
  int (*mysql_get_socket)(mysqlc::Mysql*);
};

// The gateway library's thirteen calls.
struct TagQelDbApi {
  int (*QelDbInit)();
  int (*QelDbFree)();
  int (*QelDbOpen)(const char* host, int port, const char* db, const char* user, const char* pwd);
  void (*QelDbClose)(int h);
  int (*QelDbExec)(int h, const char* sql, int* retCode, char* errText);
  int (*QelDbRows)(int h);
  int (*QelDbCols)(int h);
  int (*QelDbGetColInfoByIndex)(int h, int col, char* name, int* width, int* type, int* scale);
  int (*QelDbGetColInfoByName)(int h, const char* name, int* width, int* type, int* scale);
  int (*QelDbNext)(int h);
  int (*QelDbGotoRec)(int h, int row);
  int (*QelDbGetValByName)(int h, const char* name, char* value);
  int (*QelDbGetValByIndex)(int h, int col, char* value);
};

// Binds a table from an open library handle (the line manager's, which
// has initialised the gateway): 0; -2 when its first call ("dbinit",
// "mysql_init", "QelDbInit") is missing. DB-Library's dbinit runs here,
// once: FreeTDS resets the handlers each time it runs.
int BindSybLibrary(void* handle);
int BindMySqlLibrary(void* handle);
int BindQelDbLibrary(void* handle);
void UnbindSybLibrary();
void UnbindMySqlLibrary();
void UnbindQelDbLibrary();

// Opens a file by name and binds it (tests): -1 when it cannot be opened,
// the gateway's -3 when QelDbInit fails.
// The library stays open until the matching unbind.
int BindSybFile(const char* file);
int BindMySqlFile(const char* file);
int BindQelDbFile(const char* file);

// The bound tables, null while unbound.
const TagSybApi* SybApi();
const TagMySqlApi* MySqlApi();
const TagQelDbApi* QelDbApi();

