#include "services/mysqldata.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The client's one-time set-up inside mysql_init is not safe to race.
std::mutex g_initLock;

bool StartsNoCase(const std::string& s, const char* word) { return strncasecmp(s.c_str(), word, 4) == 0; }

bool ContainsNoCase(const std::string& text, const std::string& what) {
  auto it = std::search(text.begin(), text.end(), what.begin(), what.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

}  // namespace

std::string TagMySqlData::UseDatabase(const std::string& statement) {
  std::string db = statement.size() > 4 ? statement.substr(4) : std::string();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  for (;;) {
    const size_t before = db.size();
    while (!db.empty() && blank(db.back())) db.pop_back();
    while (!db.empty() && blank(db.front())) db.erase(db.begin());
    if (!db.empty() && db.back() == ';') db.pop_back();
    if (db.size() >= 2 && db.front() == '`' && db.back() == '`') db = db.substr(1, db.size() - 2);
    if (db.size() == before) break;
  }
  return db;
}

TagMySqlData::TagMySqlData(const std::string& host, const std::string& user, const std::string& password,
                           const std::string& logFile)
    : host_(host), user_(user), password_(password) {
  debugMode = 0;
  if (!logFile.empty() && log_.Open(logFile + ".log")) log_.Write("Start.");
  api_ = MySqlApi();
  if (!api_) {
    status = -1;
    log_.Write("Load libmySQL.dll fail!");
    return;
  }
  status = Connect(nullptr);
}

TagMySqlData::~TagMySqlData() {
  Close();
  log_.Write("End.");
  log_.Close();
}

void TagMySqlData::FreeResult() {
  if (result_ && api_) api_->mysql_free_result(result_);
  result_ = nullptr;
  rowIndex_.clear();
  lengths_.clear();
  indexed_ = false;
}

void TagMySqlData::Close() {
  if (!api_) return;
  FreeResult();
  if (conn_) api_->mysql_close(conn_);
  conn_ = nullptr;
}

int TagMySqlData::Connect(const char* database) {
  {
    std::lock_guard<std::mutex> g(g_initLock);
    conn_ = api_->mysql_init(nullptr);
  }
  if (conn_ && api_->mysql_options) {
    // A dead server must not hold the line for ever.
    const unsigned connectS = kConnectTimeoutS, ioS = kIoTimeoutS;
    api_->mysql_options(conn_, mysqlc::kOptConnectTimeout, &connectS);
    api_->mysql_options(conn_, mysqlc::kOptReadTimeout, &ioS);
    api_->mysql_options(conn_, mysqlc::kOptWriteTimeout, &ioS);
  }
  if (conn_ && api_->mysql_real_connect(conn_, host_.c_str(), user_.c_str(), password_.c_str(), database, 0,
                                        nullptr, 0)) {
    return 0;
  }
  status = -1;
  lastError = "Open:Connect Err";
  const char* why = conn_ ? api_->mysql_error(conn_) : "out of memory";
  log_.Write(std::string("Failed to connect to database: Error: ") + (why ? why : "") + "\n");
  return -1;
}

int TagMySqlData::Reconnect() {
  log_.Write("Reconnecting...");
  Close();
  const std::string db = useStatement_.empty() ? std::string() : UseDatabase(useStatement_);
  const int r = Connect(useStatement_.empty() ? nullptr : db.c_str());
  char text[700];
  std::snprintf(text, sizeof text, "Open('%s') is %d.", db.c_str(), r);
  log_.Write(text);
  if (r == 0 && !setStatement_.empty() && api_->mysql_query(conn_, setStatement_.c_str()) == 0) {
    if (mysqlc::Result* res = api_->mysql_store_result(conn_)) api_->mysql_free_result(res);
  }
  return r;
}

bool TagMySqlData::ClosedWhileIdle() const {
  const int fd = conn_ && api_->mysql_get_socket ? api_->mysql_get_socket(conn_) : -1;
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  char c;
  const ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

int TagMySqlData::Attempt(const std::string& statement, bool* reconnect) {
  resultOk_ = true;
  FreeResult();
  if (ClosedWhileIdle()) {
    // The client would send the statement into the closed socket and call
    // the loss a failure during the query; the server never saw it, so it
    // has gone away as far as this statement is concerned.
    *reconnect = true;
    if (debugMode == kDbDebugKeep) {
      lastError = "Error: Server has gone away";
    } else {
      log_.Write(statement);
      log_.Write("Error: Server has gone away");
    }
    resultOk_ = false;
    return -1;
  }
  int rc = conn_ ? api_->mysql_query(conn_, statement.c_str()) : -1;
  if (rc == 0) {
    result_ = api_->mysql_store_result(conn_);
    // No result where the statement has columns is a failure (the rows
    // could not be read), not an empty success.
    if (result_ || !api_->mysql_field_count || api_->mysql_field_count(conn_) == 0) return 0;
    rc = -1;
  }
  const char* err = conn_ ? api_->mysql_error(conn_) : "no connection";
  const std::string text = std::string("Error: ") + (err ? err : "");
  const unsigned no = conn_ && api_->mysql_errno ? api_->mysql_errno(conn_) : 0;
  if (no == mysqlc::kServerGone || ContainsNoCase(text, "server has gone away")) *reconnect = true;
  if (debugMode == kDbDebugKeep) {
    lastError = text;
  } else {
    log_.Write(statement);
    log_.Write(text);
  }
  resultOk_ = false;
  // The client fails with 1 or -1: a failure is negative either way.
  return rc > 0 ? -rc : rc < 0 ? rc : -1;
}

int TagMySqlData::Exec(const std::string& statement) {
  if (status < 0) return status;
  if (!api_) return -1;
  if (debugMode == kDbDebugTrace) log_.Write(statement);
  if (useStatement_.empty()) {
    if (StartsNoCase(statement, "USE ")) {
      useStatement_ = statement;
      Close();
      Connect(UseDatabase(statement).c_str());
    }
  } else if (setStatement_.empty() && StartsNoCase(statement, "set ")) {
    setStatement_ = statement;
  }
  int result = -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool reconnect = false;
    result = Attempt(statement, &reconnect);
    if (!reconnect || attempt == 1) break;
    Reconnect();
  }
  return result;
}

bool TagMySqlData::Ready() const { return api_ && result_ && resultOk_; }

int TagMySqlData::Rows() {
  if (!Ready()) return 0;
  return static_cast<int>(std::min<unsigned long long>(api_->mysql_num_rows(result_), 0x7fffffff));
}

int TagMySqlData::Cols() {
  if (!Ready()) return 0;
  return static_cast<int>(api_->mysql_num_fields(result_));
}

int TagMySqlData::GetColName(int col, std::string& out) {
  out.clear();
  if (!api_) return 0;
  if (!Ready() || col < 0 || col >= Cols()) return -1;
  api_->mysql_field_seek(result_, static_cast<unsigned>(col));
  const mysqlc::Field* f = api_->mysql_fetch_field(result_);
  if (f && f->name) PutValue(out, f->name, std::strlen(f->name));
  return col;
}

int TagMySqlData::GetColIndex(const std::string& name) {
  if (!Ready()) return -1;
  const int cols = Cols();
  for (int i = 0; i < cols; ++i) {
    api_->mysql_field_seek(result_, static_cast<unsigned>(i));
    const mysqlc::Field* f = api_->mysql_fetch_field(result_);
    if (f && f->name && strcasecmp(f->name, name.c_str()) == 0) return i;
  }
  return -2;
}

bool TagMySqlData::IndexRows() {
  if (indexed_) return true;
  const int rows = Rows();
  const size_t cols = static_cast<size_t>(Cols());
  rowIndex_.clear();
  lengths_.clear();
  rowIndex_.reserve(static_cast<size_t>(rows));
  lengths_.reserve(static_cast<size_t>(rows) * cols);
  api_->mysql_data_seek(result_, 0);
  for (int r = 0; r < rows; ++r) {
    mysqlc::Row row = api_->mysql_fetch_row(result_);
    if (!row) {
      rowIndex_.clear();
      lengths_.clear();
      return false;
    }
    rowIndex_.push_back(row);
    const unsigned long* len = api_->mysql_fetch_lengths ? api_->mysql_fetch_lengths(result_) : nullptr;
    for (size_t c = 0; c < cols; ++c)
      lengths_.push_back(len ? len[c] : (row[c] ? std::strlen(row[c]) : 0));
  }
  indexed_ = true;
  return true;
}

int TagMySqlData::GetValByIndex(std::string& out, int col, int row) {
  out.clear();
  if (!Ready() || row < 1 || row > Rows() || col < 0 || col >= Cols()) return -1;
  if (!IndexRows()) {
    const char* why = api_->mysql_error(conn_);
    if (debugMode != kDbDebugKeep) {
      char text[120];
      std::snprintf(text, sizeof text, "GetVar() Error: row=%d, colIndex=%d", row - 1, col);
      log_.Write(std::string(text) + " " + (why ? why : ""));
    }
    return why && *why ? -2 : -3;
  }
  const size_t cols = static_cast<size_t>(Cols());
  const char* v = rowIndex_[static_cast<size_t>(row - 1)][col];
  if (v) PutValue(out, v, lengths_[static_cast<size_t>(row - 1) * cols + static_cast<size_t>(col)]);
  return col;
}

int TagMySqlData::GetValByName(std::string& out, const std::string& name, int row) {
  return GetValByIndex(out, GetColIndex(name), row);
}

int TagMySqlData::ExecToLocal(const std::string& statement, TagLocalResult& target) {
  LocalCopy how;
  how.widthOf = [this](int col) -> int {
    if (!Ready()) return -4;
    api_->mysql_field_seek(result_, static_cast<unsigned>(col));
    const mysqlc::Field* f = api_->mysql_fetch_field(result_);
    if (!f) return -4;
    // Text and blob columns declare huge lengths: bounded like the others.
    const unsigned long len = f->length;
    return len == 0 ? 1 : len > static_cast<unsigned long>(kMaxLocalWidth) ? kMaxLocalWidth : static_cast<int>(len);
  };
  return CopyToLocal(statement, target, how);
}
