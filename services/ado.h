#pragma once
// The ODBC data set: any database with an ODBC driver, reached through
// unixODBC with the script's connection string (a DSN, or DSN-less naming
// the driver: "Driver=/path/libsqlite3odbc.so;Database=t.db"). One ODBC
// environment per process, one connection per data set, made when the
// first statement runs.
//
// Statements are sorted by their first word: queries with rows (SELECT),
// statements that change data (UPDATE, DELETE, INSERT, CREATE, DROP, ALTER,
// USE, SET), and everything else as a stored-procedure call: "exec p 1,
// 'a,b'" calls p with the text parameters 1 and a,b. A result is fetched
// whole. A lost connection is made again once and the statement rerun; a
// lock or busy error reruns it once. Failures go to the shared log
// "log\sqlapp.log" as "[SQLSTATE] message".
//
// Texts are GB inside; statements, parameters and connection strings go to
// the driver as UTF-8 and values come back converted.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "services/dataset.h"

// The parsed text of a procedure call.
struct TagProcCall {
  std::string name;
  std::vector<std::string> params;
};
// Splits at commas and blanks outside single quotes; a parameter of at
// least two characters that starts with a quote loses its first and last.
TagProcCall ParseProcCall(const std::string& text);

// How a statement is sent.
enum class TagSqlKind { kQuery, kUpdate, kProcedure };
TagSqlKind SortStatement(const std::string& trimmed);

// What a failure asks for.
enum class TagSqlRetry { kNone, kReconnect, kRetry };
// Class 08 and lost-connection texts ask for a reconnect; deadlocks, lock
// time-outs and busy databases for a retry.
TagSqlRetry ClassifySqlError(const std::string& sqlState, const std::string& message);

// The log all ODBC data sets of the process share.
TagSharedDbLog& SqlAppLog();

class TagAdoData : public TagDataSet {
 public:
  // Largest cell of a local copy.
  static constexpr int kLocalWidthMax = 2048;

  TagAdoData(const std::string& connection, const std::string& logName);
  ~TagAdoData() override;

  int ExecToLocal(const std::string& statement, TagLocalResult& target) override;
  // Rows changed for an update, 0 for a query or procedure call, -3 for a
  // failure with a message, -4 for any other.
  int Exec(const std::string& statement) override;
  int Rows() override;
  int Cols() override;
  int GetColName(int col, std::string& out) override;
  // -1 not ready, -2 no such column.
  int GetColIndex(const std::string& name) override;
  int GetValByName(std::string& out, const std::string& name, int row) override;
  // The column index, also when the row lies outside the result (then the
  // value is empty and the current row stays).
  int GetValByIndex(std::string& out, int col, int row) override;
  void Close() override;

  // The ODBC handles are made again (a lost connection).
  int Open();
  int CurrentRow() const { return currentRow_; }

 private:
  struct Column {
    std::string name;
    int16_t sqlType = 0;
    uint64_t size = 0;
  };
  struct Failure {
    std::string text;  // "[SQLSTATE] message", GB
    TagSqlRetry retry = TagSqlRetry::kNone;
  };

  bool Ready() const;
  // One attempt; false with the failure filled.
  bool RunOnce(TagSqlKind kind, const std::string& statement, int& result, Failure& failure);
  bool Connect(Failure& failure);
  bool FetchAll(void* stmt, Failure& failure);
  Failure Diagnose(int handleType, void* handle, bool connecting) const;
  void Report(const std::string& statement, const std::string& text);
  std::string CellText(size_t row, int col) const;
  int LocalWidth(int col) const;

  std::string connection_;
  void* dbc_ = nullptr;
  bool connected_ = false;
  bool hasResult_ = false;
  bool procedure_ = false;
  bool success_ = false;
  int currentRow_ = 1;
  bool logUser_ = false;
  std::vector<Column> columns_;
  std::vector<std::optional<std::string>> cells_;  // row-major
  size_t rows_ = 0;
};
