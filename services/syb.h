#pragma once
// A SQL Server connection through DB-Library: logs in, sends statements,
// reconnects a dead connection (replaying the first "USE " statement) and
// fetches a statement's whole result as fixed-width text rows. Every
// connection of the process writes to one shared log.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/dbclients.h"

struct TagSybColumn {
  std::string name;  // at most 55 bytes
  int type = 0;
  int width = 0;
  int offset = 0;
  std::vector<uint8_t> bind;  // 2048 + 4 bytes
};

struct TagSybResult {
  int cols = 0;
  int rows = 0;
  int rowWidth = 0;
  int32_t retStatus = -65535;
  std::vector<TagSybColumn> columns;
  int resultSets = 0;
  std::vector<char> block;  // rows x rowWidth bytes; grows geometrically

  void Forget();
};

class TagSyb {
 public:
  static constexpr int kBindBytes = 2048;
  static constexpr size_t kMaxNameBytes = 55;
  static constexpr size_t kMaxServerBytes = 63;

  TagSyb(const std::string& server, const std::string& user, const std::string& password,
         const std::string& logName);
  ~TagSyb();
  TagSyb(const TagSyb&) = delete;
  TagSyb& operator=(const TagSyb&) = delete;

  // Rows of the last result set; -1 when the statement could not be sent,
  // -2 when its results could not be fetched.
  int Exec(const std::string& statement);
  // A cell of row (from 0) and column, cut to the column's width; false
  // (empty text) when there is no such cell.
  bool Cell(int row, int col, std::string* out) const;
  // Column index by name without regard to case, or -1.
  int ColIndex(const std::string& name) const;

  int status = -2;  // 0 connected, -1 refused, -2 library not bound
  int trace = 0;
  TagSybResult result;

  // The width of a column by its DB-Library type and length.
  static int ColumnWidth(int type, int32_t length);
  // Objects alive in the process (for tests).
  static int Count();

 private:
  int Send(const std::string& statement);
  // 1 the connection is alive, 2 it was made again, 0 none.
  int EnsureConnection();
  int FetchResults(TagSybResult* r);

  syb::DbProcess* dbproc_ = nullptr;
  std::string useStatement_;
  syb::LoginRec* login_ = nullptr;
  std::string server_;
  const TagSybApi* api_ = nullptr;
};

// Writes one "[time] text" line to the shared log when it is open.
// DB-Library's error and message handlers: they write the SQL Server data
// sets' shared log. The binding installs them once dbinit has run.
int SybErrHandler(syb::DbProcess* dbproc, int severity, int dberr, int oserr, char* dberrstr, char* oserrstr);
int SybMsgHandler(syb::DbProcess* dbproc, int32_t msgno, int msgstate, int severity, char* msgtext, char* srvname,
                  char* proc, int line);
void SybLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
