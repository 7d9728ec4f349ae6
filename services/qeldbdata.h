#pragma once
// The gateway data set (type code 7): statements go through the gateway
// library to a gateway server, the result is read back row by row through
// the library; one reconnect when a statement fails at the connection level.
// Each data set writes its own log.
#include <string>

#include "services/dataset.h"
#include "services/dbclients.h"

class TagQelDbData : public TagDataSet {
 public:
  // The port when the host names none.
  static constexpr int kDefaultPort = 2013;
  // Output buffers handed to the library: values, names and error texts.
  static constexpr size_t kValueBuffer = 4100;
  static constexpr size_t kTextBuffer = 2048;

  TagQelDbData(const std::string& host, int port, const std::string& user, const std::string& password,
               const std::string& logFile);
  ~TagQelDbData() override;

  int ExecToLocal(const std::string& statement, TagLocalResult& target) override;
  int Exec(const std::string& statement) override;
  int Rows() override;
  int Cols() override;
  int GetColName(int col, std::string& out) override;
  int GetColIndex(const std::string& name) override;
  int GetValByName(std::string& out, const std::string& name, int row) override;
  int GetValByIndex(std::string& out, int col, int row) override;
  void Close() override;

  int Handle() const { return handle_; }
  int LastReturnCode() const { return retCode_; }

 private:
  int Connect(const char* database);
  int Reconnect();

  const TagQelDbApi* api_ = nullptr;
  int handle_ = 0;
  bool execBusy_ = false;  // set while a statement runs
  TagDbLog log_;
  std::string host_;
  int port_ = kDefaultPort;
  std::string user_, password_;
  int retCode_ = 0;
};
