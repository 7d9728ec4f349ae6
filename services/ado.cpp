#include "services/ado.h"

#include <sql.h>
#include <sqlext.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <mutex>

#include "core/runcfg.h"
#include "platform/msgbox.h"
#include "platform/text.h"
#include "platform/trim.h"

namespace {

// Plain ASCII needs no conversion; most values are.
bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}
std::string ToDriver(const std::string& gb) { return IsAscii(gb) ? gb : plat::GbkToUtf8(gb); }
std::string FromDriver(const std::string& utf8) { return IsAscii(utf8) ? utf8 : plat::Utf8ToGbk(utf8); }

bool ContainsNoCase(const std::string& text, const char* word) {
  const size_t n = std::strlen(word);
  if (n > text.size()) return false;
  for (size_t i = 0; i + n <= text.size(); ++i)
    if (strncasecmp(text.c_str() + i, word, n) == 0) return true;
  return false;
}

// The process's one ODBC environment, made at first use.
SQLHENV Environment() {
  static SQLHENV env = [] {
    SQLHENV e = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e))) return SQLHENV(SQL_NULL_HENV);
    SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return e;
  }();
  return env;
}

constexpr SQLULEN kLoginTimeoutSeconds = 10;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimCopy(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool IsBitType(int16_t t) { return t == SQL_BIT; }
bool IsTextType(int16_t t) {
  return t == SQL_CHAR || t == SQL_VARCHAR || t == SQL_WCHAR || t == SQL_WVARCHAR;
}
bool IsLongType(int16_t t) {
  return t == SQL_LONGVARCHAR || t == SQL_WLONGVARCHAR || t == SQL_LONGVARBINARY || t == SQL_VARBINARY ||
         t == SQL_BINARY;
}
// Bytes a value of the type occupies in binary form.
uint64_t DataSize(int16_t t, uint64_t columnSize) {
  switch (t) {
    case SQL_BIT: return 2;
    case SQL_TINYINT: return 1;
    case SQL_SMALLINT: return 2;
    case SQL_INTEGER: return 4;
    case SQL_REAL: return 4;
    case SQL_BIGINT: case SQL_FLOAT: case SQL_DOUBLE: return 8;
    case SQL_TYPE_DATE: case SQL_TYPE_TIME: case SQL_TYPE_TIMESTAMP: case SQL_DATE: case SQL_TIME:
    case SQL_TIMESTAMP: return 8;
    default: return columnSize / 3 + 2;  // decimals and the rest: room for their digits
  }
}

}  // namespace

// --- statement sorting and the procedure-call parser ---

TagSqlKind SortStatement(const std::string& s) {
  std::string head = s.substr(0, 7);
  for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (head == "SELECT ") return TagSqlKind::kQuery;
  if (head == "UPDATE " || head == "DELETE " || head == "INSERT " || head == "CREATE ") return TagSqlKind::kUpdate;
  for (const char* w : {"DROP ", "ALTER ", "USE ", "SET "})
    if (head.compare(0, std::strlen(w), w) == 0) return TagSqlKind::kUpdate;
  return TagSqlKind::kProcedure;
}

TagProcCall ParseProcCall(const std::string& text) {
  std::vector<std::string> pieces(1);
  bool quoted = false;
  for (char c : text) {
    if (c == '\'') quoted = !quoted;
    if (c == ',' && !quoted) {
      pieces.emplace_back();
      continue;
    }
    pieces.back() += c;
  }
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  quoted = false;
  for (char c : pieces[0]) {
    if (c == '\'') quoted = !quoted;
    if (IsBlank(c) && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      continue;
    }
    word += c;
    inWord = true;
  }
  if (inWord) words.push_back(word);

  TagProcCall call;
  size_t next = 0;
  if (!words.empty() && (words[0] == "exec" || words[0] == "EXEC")) next = 1;
  if (next < words.size()) call.name = words[next++];
  std::vector<std::string> raw;
  if (next < words.size()) raw.push_back(words[next]);
  for (size_t i = 1; i < pieces.size(); ++i) raw.push_back(pieces[i]);
  for (std::string& p : raw) {
    p = TrimCopy(p);
    if (p.size() >= 2 && p.front() == '\'') p = p.substr(1, p.size() - 2);
    call.params.push_back(p);
  }
  return call;
}

TagSqlRetry ClassifySqlError(const std::string& state, const std::string& message) {
  static const std::string lostZh = plat::Utf8ToGbk("连接失败");
  static const std::string deadlockZh = plat::Utf8ToGbk("死锁");
  if (state.compare(0, 2, "08") == 0 || message.find(lostZh) != std::string::npos ||
      message.find("Connect") != std::string::npos || ContainsNoCase(message, "gone away") ||
      ContainsNoCase(message, "lost connection") || ContainsNoCase(message, "broken pipe") ||
      ContainsNoCase(message, "server closed") || ContainsNoCase(message, "connection reset"))
    return TagSqlRetry::kReconnect;
  if (state == "40001" || state == "40P01" || state == "HYT00" || message.find(deadlockZh) != std::string::npos ||
      ContainsNoCase(message, "lock") || ContainsNoCase(message, "busy"))
    return TagSqlRetry::kRetry;
  return TagSqlRetry::kNone;
}

TagSharedDbLog& SqlAppLog() {
  static TagSharedDbLog log("log\\sqlapp.log");
  return log;
}

// --- the data set ---

TagAdoData::TagAdoData(const std::string& connection, const std::string& name) : connection_(connection) {
  const int r = Open();
  if (r < 0) {
    status = r;
    return;
  }
  logName = name;
  logUser_ = true;
  SqlAppLog().AddUser();
  SqlAppLog().Write("Start.");
  status = 0;
}

TagAdoData::~TagAdoData() {
  Close();
  if (logUser_) {
    SqlAppLog().Write("End.");
    SqlAppLog().RemoveUser();
  }
}

int TagAdoData::Open() {
  SQLHENV env = Environment();
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (env == SQL_NULL_HENV || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    static const std::string caption = plat::Utf8ToGbk("初始化ADO错误...");
    const std::string text = "ODBC: no environment or connection handle";
    SqlAppLog().Write(text);
    plat::MessageBox(caption, text, plat::kBoxOk | plat::kBoxIconError);
    return -1;
  }
  // A server that does not answer must not hold the line for ever.
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);
  dbc_ = dbc;
  connected_ = false;
  return 0;
}

void TagAdoData::Close() {
  if (dbc_ != nullptr) {
    if (connected_) SQLDisconnect(static_cast<SQLHDBC>(dbc_));
    SQLFreeHandle(SQL_HANDLE_DBC, static_cast<SQLHDBC>(dbc_));
  }
  dbc_ = nullptr;
  connected_ = false;
}

TagAdoData::Failure TagAdoData::Diagnose(int handleType, void* handle, bool connecting) const {
  Failure f;
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR msg[2048];
  SQLSMALLINT len = 0;
  std::string firstState;
  for (SQLSMALLINT i = 1; handle != nullptr; ++i) {
    const SQLRETURN r = SQLGetDiagRec(static_cast<SQLSMALLINT>(handleType), handle, i, state, &native, msg,
                                      sizeof msg, &len);
    if (!SQL_SUCCEEDED(r)) break;
    const std::string s(reinterpret_cast<char*>(state));
    const std::string m(reinterpret_cast<char*>(msg), std::min<size_t>(static_cast<size_t>(len), sizeof msg - 1));
    if (i == 1) firstState = s;
    if (!f.text.empty()) f.text += " ";
    const std::string gb = FromDriver(m);
    f.text += "[" + s + "] " + gb;
    if (f.retry == TagSqlRetry::kNone) f.retry = ClassifySqlError(s, gb);
  }
  if (connecting && f.retry == TagSqlRetry::kNone && firstState.compare(0, 2, "IM") != 0 &&
      firstState != "01000")
    f.retry = TagSqlRetry::kReconnect;
  return f;
}

bool TagAdoData::Connect(Failure& failure) {
  if (connected_) return true;
  if (dbc_ == nullptr && Open() < 0) {
    failure.text = "ODBC: no connection handle";
    return false;
  }
  const std::string conn = ToDriver(connection_);
  SQLCHAR outConn[1024];
  SQLSMALLINT outLen = 0;
  const SQLRETURN r = SQLDriverConnect(static_cast<SQLHDBC>(dbc_), nullptr,
                                       reinterpret_cast<SQLCHAR*>(const_cast<char*>(conn.c_str())),
                                       static_cast<SQLSMALLINT>(conn.size()), outConn, sizeof outConn, &outLen,
                                       SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(r)) {
    failure = Diagnose(SQL_HANDLE_DBC, dbc_, true);
    if (failure.text.empty()) failure.text = "[08001] cannot connect";
    return false;
  }
  connected_ = true;
  return true;
}

bool TagAdoData::FetchAll(void* handle, Failure& failure) {
  SQLHSTMT stmt = static_cast<SQLHSTMT>(handle);
  columns_.clear();
  cells_.clear();
  rows_ = 0;
  SQLSMALLINT cols = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &cols))) {
    failure = Diagnose(SQL_HANDLE_STMT, stmt, false);
    return false;
  }
  for (SQLUSMALLINT c = 1; c <= cols; ++c) {
    SQLCHAR name[512];
    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeCol(stmt, c, name, sizeof name, &nameLen, &type, &size, &digits, &nullable))) {
      failure = Diagnose(SQL_HANDLE_STMT, stmt, false);
      return false;
    }
    columns_.push_back({FromDriver(reinterpret_cast<char*>(name)), type, static_cast<uint64_t>(size)});
  }
  if (cols == 0) return true;
  std::vector<char> buf(4096);
  for (;;) {
    SQLRETURN r = SQLFetch(stmt);
    if (r == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(r)) {
      failure = Diagnose(SQL_HANDLE_STMT, stmt, false);
      return false;
    }
    for (SQLUSMALLINT c = 1; c <= cols; ++c) {
      std::string value;
      bool isNull = false;
      for (;;) {
        SQLLEN ind = 0;
        r = SQLGetData(stmt, c, SQL_C_CHAR, buf.data(), static_cast<SQLLEN>(buf.size()), &ind);
        if (r == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(r)) {
          failure = Diagnose(SQL_HANDLE_STMT, stmt, false);
          return false;
        }
        if (ind == SQL_NULL_DATA) {
          isNull = true;
          break;
        }
        // A long value comes in pieces, each but the last filling the buffer.
        const size_t got = (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(buf.size()))
                               ? buf.size() - 1
                               : static_cast<size_t>(ind);
        value.append(buf.data(), got);
        if (r == SQL_SUCCESS) break;
      }
      if (isNull)
        cells_.emplace_back(std::nullopt);
      else
        cells_.emplace_back(FromDriver(value));
    }
    ++rows_;
  }
  // Further results (a procedure's status) are read and dropped.
  while (SQL_SUCCEEDED(SQLMoreResults(stmt))) {
  }
  return true;
}

bool TagAdoData::RunOnce(TagSqlKind kind, const std::string& statement, int& result, Failure& failure) {
  if (!Connect(failure)) return false;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, static_cast<SQLHDBC>(dbc_), &stmt))) {
    failure = Diagnose(SQL_HANDLE_DBC, dbc_, false);
    return false;
  }
  struct Free {
    SQLHSTMT s;
    ~Free() { SQLFreeHandle(SQL_HANDLE_STMT, s); }
  } freeStmt{stmt};

  std::string sql;
  std::vector<std::string> params;
  if (kind == TagSqlKind::kProcedure) {
    const TagProcCall call = ParseProcCall(statement);
    sql = "{call " + ToDriver(call.name) + "(";
    for (size_t i = 0; i < call.params.size(); ++i) {
      sql += i ? ",?" : "?";
      params.push_back(ToDriver(call.params[i]));
    }
    sql += ")}";
  } else {
    sql = ToDriver(statement);
  }
  std::vector<SQLLEN> lengths(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    lengths[i] = static_cast<SQLLEN>(params[i].size());
    const SQLULEN size = params[i].empty() ? 1 : params[i].size();
    if (!SQL_SUCCEEDED(SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                                        SQL_VARCHAR, size, 0, const_cast<char*>(params[i].data()), lengths[i],
                                        &lengths[i]))) {
      failure = Diagnose(SQL_HANDLE_STMT, stmt, false);
      return false;
    }
  }
  const SQLRETURN r =
      SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), static_cast<SQLINTEGER>(sql.size()));
  if (!SQL_SUCCEEDED(r) && r != SQL_NO_DATA) {
    failure = Diagnose(SQL_HANDLE_STMT, stmt, false);
    return false;
  }
  if (kind == TagSqlKind::kUpdate) {
    SQLLEN changed = 0;
    if (r != SQL_NO_DATA) SQLRowCount(stmt, &changed);
    result = changed < 0 ? 0 : (changed > INT_MAX ? INT_MAX : static_cast<int>(changed));
    while (SQL_SUCCEEDED(SQLMoreResults(stmt))) {
    }
    return true;
  }
  result = 0;
  if (r == SQL_NO_DATA) {
    columns_.clear();
    cells_.clear();
    rows_ = 0;
    return true;
  }
  return FetchAll(stmt, failure);
}

void TagAdoData::Report(const std::string& statement, const std::string& text) {
  if (debugMode == kDbDebugKeep) {
    lastError = text;
    return;
  }
  SqlAppLog().Write(statement);
  SqlAppLog().Write(text);
}

int TagAdoData::Exec(const std::string& statementIn) {
  currentRow_ = 1;
  // The script's own value stays as it is: the statement is trimmed as a copy.
  const std::string statement = TrimCopy(statementIn);
  if (debugMode == kDbDebugTrace) SqlAppLog().Write(statement);
  if (debugMode == kDbDebugKeep) lastError.clear();
  const TagSqlKind kind = SortStatement(statement);
  procedure_ = kind == TagSqlKind::kProcedure;
  hasResult_ = kind != TagSqlKind::kUpdate;
  int result = 0;
  for (int attempt = 1;; ++attempt) {
    success_ = true;
    Failure failure;
    if (RunOnce(kind, statement, result, failure)) break;
    success_ = false;
    result = failure.text.empty() ? -4 : -3;
    Report(statement, failure.text.empty() ? "..." : failure.text);
    if (attempt == 2 || failure.retry == TagSqlRetry::kNone) break;
    if (failure.retry == TagSqlRetry::kReconnect) {
      SqlAppLog().Write(plat::Utf8ToGbk("重连step1..."));
      Close();
      Open();
      SqlAppLog().Write(plat::Utf8ToGbk("重连."));
    }
  }
  if (!success_) {
    if (procedure_) hasResult_ = false;
    columns_.clear();
    cells_.clear();
    rows_ = 0;
  }
  return result;
}

bool TagAdoData::Ready() const { return success_ && hasResult_; }

int TagAdoData::Rows() {
  if (!Ready()) return 0;
  if (procedure_) currentRow_ = 1;
  return rows_ > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(rows_);
}

int TagAdoData::Cols() { return Ready() ? static_cast<int>(columns_.size()) : 0; }

int TagAdoData::GetColName(int col, std::string& out) {
  out.clear();
  if (!Ready() || col < 0 || col >= static_cast<int>(columns_.size())) return -1;
  PutValue(out, columns_[static_cast<size_t>(col)].name);
  return col;
}

int TagAdoData::GetColIndex(const std::string& name) {
  if (!Ready()) return -1;
  for (size_t i = 0; i < columns_.size(); ++i)
    if (strcasecmp(columns_[i].name.c_str(), name.c_str()) == 0) return static_cast<int>(i);
  return -2;
}

int TagAdoData::GetValByName(std::string& out, const std::string& name, int row) {
  out.clear();
  const int col = GetColIndex(name);
  if (col < 0) return -1;
  return GetValByIndex(out, col, row);
}

std::string TagAdoData::CellText(size_t row, int col) const {
  const auto& cell = cells_[row * columns_.size() + static_cast<size_t>(col)];
  if (!cell) return "";
  if (!IsBitType(columns_[static_cast<size_t>(col)].sqlType)) return *cell;
  // Drivers give a bit as a digit, a word, or (MariaDB's) the raw byte.
  const bool raw0 = cell->find_first_not_of('\0') == std::string::npos;
  const bool truth = !raw0 && *cell != "0" && strcasecmp(cell->c_str(), "false") != 0;
  if (dbBitfieldIsDigit.load(std::memory_order_relaxed)) return truth ? "1" : "0";
  return truth ? "True" : "False";
}

int TagAdoData::GetValByIndex(std::string& out, int col, int row) {
  out.clear();
  if (!Ready() || col < 0 || col >= static_cast<int>(columns_.size())) return -1;
  if (row < 1 || static_cast<size_t>(row) > rows_) {
    SqlAppLog().Write("GetVal: row " + std::to_string(row) + " outside 1.." + std::to_string(rows_));
    return col;
  }
  currentRow_ = row;
  PutValue(out, CellText(static_cast<size_t>(row - 1), col));
  return col;
}

int TagAdoData::LocalWidth(int col) const {
  const Column& c = columns_[static_cast<size_t>(col)];
  uint64_t w;
  if (IsTextType(c.sqlType)) {
    w = c.size;
  } else if (IsLongType(c.sqlType)) {
    // Its data: the longest value of this result.
    w = 1;
    for (size_t r = 0; r < rows_; ++r) {
      const auto& cell = cells_[r * columns_.size() + static_cast<size_t>(col)];
      if (cell && cell->size() > w) w = cell->size();
    }
  } else {
    w = 3 * DataSize(c.sqlType, c.size);
  }
  if (w == 0) w = 1;
  return static_cast<int>(std::min<uint64_t>(w, kLocalWidthMax));
}

int TagAdoData::ExecToLocal(const std::string& statement, TagLocalResult& target) {
  SetDebug(target.debugMode);
  LocalCopy how;
  how.widthOf = [this](int col) { return LocalWidth(col); };
  how.valueOf = [this](int row, int col, std::string& out) {
    out = CellText(static_cast<size_t>(row - 1), col);
    return 0;
  };
  const int r = CopyToLocal(statement, target, how);
  currentRow_ = 1;
  return r;
}
