#include "services/qeldbdata.h"

#include <cstdio>
#include <exception>
#include <vector>

TagQelDbData::TagQelDbData(const std::string& host, int port, const std::string& user, const std::string& password,
                           const std::string& logFile)
    : host_(host), port_(port), user_(user), password_(password) {
  debugMode = 0;
  if (!logFile.empty() && log_.Open(logFile + ".log")) log_.Write("Start.");
  api_ = QelDbApi();
  if (!api_) {
    status = -1;
    log_.Write("Load QelDbApi.dll fail!");
    return;
  }
  status = Connect(nullptr);
}

TagQelDbData::~TagQelDbData() {
  Close();
  log_.Write("End.");
  log_.Close();
}

int TagQelDbData::Connect(const char* database) {
  handle_ = api_->QelDbOpen(host_.c_str(), port_, database, user_.c_str(), password_.c_str());
  if (handle_ != 0) return 0;
  status = -1;
  lastError = "Open:Connect Err";
  char text[700];
  std::snprintf(text, sizeof text, "Failed to connect to database: Error: %s:%d\n", host_.c_str(), port_);
  log_.Write(text);
  return -1;
}

void TagQelDbData::Close() {
  if (api_ && handle_ != 0) api_->QelDbClose(handle_);
  handle_ = 0;
}

int TagQelDbData::Reconnect() {
  log_.Write("Reconnecting...");
  Close();
  const int r = Connect("");
  char text[60];
  std::snprintf(text, sizeof text, "Open() is %d.", r);
  log_.Write(text);
  return r;
}

int TagQelDbData::Exec(const std::string& statement) {
  if (status < 0) return status;
  if (handle_ == 0) return status < 0 ? status : -1;
  if (debugMode == kDbDebugTrace) log_.Write(statement);
  int result = -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool reconnect = false;
    execBusy_ = true;
    try {
      std::vector<char> err(kTextBuffer, '\0');
      retCode_ = 0;
      result = api_->QelDbExec(handle_, statement.c_str(), &retCode_, err.data());
      if (result < 0 || retCode_ < 0) {
        char text[200];
        std::snprintf(text, sizeof text, "QelDbExec[%.100s]: ret=%d, retCode=%d", statement.c_str(), result, retCode_);
        log_.Write(text);
        const std::string errText = std::string("Error: ") + err.data();
        // A failure with a non-negative result and a negative return code
        // keeps its result, as the gateway's callers expect; our library
        // never answers that pair.
        if (result < 0) reconnect = true;
        if (debugMode == kDbDebugKeep) {
          lastError = errText;
        } else {
          log_.Write(statement);
          log_.Write(errText);
        }
      }
    } catch (const std::exception& e) {
      if (debugMode == kDbDebugKeep) {
        lastError = e.what();
      } else {
        log_.Write(statement);
        log_.Write(e.what());
      }
      result = -1;
    }
    execBusy_ = false;
    if (!reconnect || attempt == 1) break;
    if (Reconnect() < 0) break;
  }
  return result;
}

int TagQelDbData::Rows() { return handle_ == 0 ? 0 : api_->QelDbRows(handle_); }

int TagQelDbData::Cols() { return handle_ == 0 ? 0 : api_->QelDbCols(handle_); }

int TagQelDbData::GetColName(int col, std::string& out) {
  out.clear();
  if (handle_ == 0) return -1;
  char name[kTextBuffer] = {0};
  int width = 0, type = 0, scale = 0;
  const int r = api_->QelDbGetColInfoByIndex(handle_, col, name, &width, &type, &scale);
  if (r >= 0) PutValue(out, name);
  return r;
}

int TagQelDbData::GetColIndex(const std::string& name) {
  if (handle_ == 0) return -1;
  int width = 0, type = 0, scale = 0;
  return api_->QelDbGetColInfoByName(handle_, name.c_str(), &width, &type, &scale);
}

int TagQelDbData::GetValByIndex(std::string& out, int col, int row) {
  out.clear();
  if (handle_ == 0) return -1;
  if (api_->QelDbGotoRec(handle_, row) < 0) return -2;
  std::vector<char> value(kValueBuffer, '\0');
  const int r = api_->QelDbGetValByIndex(handle_, col, value.data());
  value.back() = '\0';
  PutValue(out, value.data());
  return r;
}

int TagQelDbData::GetValByName(std::string& out, const std::string& name, int row) {
  out.clear();
  if (handle_ == 0) return -1;
  if (api_->QelDbGotoRec(handle_, row) < 0) return -2;
  std::vector<char> value(kValueBuffer, '\0');
  const int r = api_->QelDbGetValByName(handle_, name.c_str(), value.data());
  value.back() = '\0';
  PutValue(out, value.data());
  return r;
}

int TagQelDbData::ExecToLocal(const std::string& statement, TagLocalResult& target) {
  LocalCopy how;
  how.widthOf = [this](int col) -> int {
    char name[kTextBuffer] = {0};
    int width = 0, type = 0, scale = 0;
    if (api_->QelDbGetColInfoByIndex(handle_, col, name, &width, &type, &scale) < 0) return -4;
    return width;
  };
  // Rows are walked with the library's cursor: to the first, then onwards.
  how.valueOf = [this, value = std::vector<char>(kValueBuffer)](int row, int col, std::string& out) mutable -> int {
    if (row == 1 && col == 0 && api_->QelDbGotoRec(handle_, 1) < 0) return -4;
    if (row > 1 && col == 0) api_->QelDbNext(handle_);
    value[0] = '\0';
    if (api_->QelDbGetValByIndex(handle_, col, value.data()) >= 0) {
      value.back() = '\0';
      PutValue(out, value.data());
    }
    return 0;
  };
  return CopyToLocal(statement, target, how);
}
