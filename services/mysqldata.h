#pragma once
// The MySQL data set (type code 5) over the MySQL client library. It
// connects without a database, switches database on the first "USE "
// statement by connecting to it, remembers that statement and the first
// "set " statement after it, and reconnects once, replaying them, when the
// server has gone away. Each data set writes its own log.
#include <string>
#include <vector>

#include "services/dataset.h"
#include "services/dbclients.h"

class TagMySqlData : public TagDataSet {
 public:
  // Longest cell of a column copied into a local result.
  static constexpr int kMaxLocalWidth = 2048;
  // Connect time-out (s), and the read and write time-outs of a statement.
  static constexpr unsigned kConnectTimeoutS = 5;
  static constexpr unsigned kIoTimeoutS = 60;

  TagMySqlData(const std::string& host, const std::string& user, const std::string& password,
               const std::string& logFile);
  ~TagMySqlData() override;

  int ExecToLocal(const std::string& statement, TagLocalResult& target) override;
  int Exec(const std::string& statement) override;
  int Rows() override;
  int Cols() override;
  int GetColName(int col, std::string& out) override;
  int GetColIndex(const std::string& name) override;
  int GetValByName(std::string& out, const std::string& name, int row) override;
  int GetValByIndex(std::string& out, int col, int row) override;
  void Close() override;

  // The database a "USE " statement names: the text after its first four
  // characters without blanks, a final ";" or backquotes.
  static std::string UseDatabase(const std::string& statement);
  const std::string& RememberedUse() const { return useStatement_; }
  const std::string& RememberedSet() const { return setStatement_; }

 private:
  int Connect(const char* database);
  int Reconnect();
  int Attempt(const std::string& statement, bool* reconnect);
  void FreeResult();
  // The server closed the idle connection: a statement sent now would be
  // lost without telling whether it ran.
  bool ClosedWhileIdle() const;
  bool Ready() const;
  // Row pointers and value lengths of the stored result, read once, so
  // reading every cell does not walk from the first row each time.
  bool IndexRows();

  const TagMySqlApi* api_ = nullptr;
  mysqlc::Mysql* conn_ = nullptr;
  mysqlc::Result* result_ = nullptr;
  bool resultOk_ = false;
  TagDbLog log_;
  std::string useStatement_, setStatement_;
  std::string host_, user_, password_;
  std::vector<mysqlc::Row> rowIndex_;
  std::vector<unsigned long> lengths_;  // rows x cols
  bool indexed_ = false;
};
