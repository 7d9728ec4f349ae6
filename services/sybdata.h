#pragma once
// The SQL Server data set (type code 1): a TagSyb connection behind the
// data-set interface. Rows are numbered from 1 here, from 0 in TagSyb.
#include <memory>
#include <string>

#include "services/dataset.h"
#include "services/syb.h"

class TagSybData : public TagDataSet {
 public:
  // a: server name, b: user, c: password, d: log name and application name.
  TagSybData(const std::string& server, const std::string& user, const std::string& password,
             const std::string& logFile);
  ~TagSybData() override;

  int ExecToLocal(const std::string& statement, TagLocalResult& target) override;
  int Exec(const std::string& statement) override;
  int Rows() override;
  int Cols() override;
  int GetColName(int col, std::string& out) override;
  int GetColIndex(const std::string& name) override;
  int GetValByName(std::string& out, const std::string& name, int row) override;
  int GetValByIndex(std::string& out, int col, int row) override;
  void Close() override;
  // The mode goes to the connection's trace flag; debugMode stays 0.
  int SetDebug(int mode) override;

  TagSyb* Connection() { return syb_.get(); }

 private:
  std::unique_ptr<TagSyb> syb_;
};
