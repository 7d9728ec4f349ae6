#pragma once
// The one interface scripts reach every kind of database through: a dBASE
// file, an ODBC database, MySQL, SQL Server, the gateway, or an in-memory
// copy of a pooled connection's result. A data set holds one connection (or
// one open file) and the result of the last statement; rows are numbered
// from 1, columns from 0.
//
// Results: negative is a failure. Value reads hand out at most
// kDbValueMax bytes (the caller's buffer was 4100 bytes with its NUL) and
// an empty text when there is no value.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The longest value text a read delivers.
constexpr size_t kDbValueMax = 4099;

// Debug modes of SetDebug: 0 log failures, 1 also log every statement
// before it runs, 2 keep a failure's text in lastError instead of logging.
enum TagDbDebug : int { kDbDebugLog = 0, kDbDebugTrace = 1, kDbDebugKeep = 2 };

class TagLocalResult;

class TagDataSet {
 public:
  TagDataSet() = default;
  virtual ~TagDataSet() = default;
  TagDataSet(const TagDataSet&) = delete;
  TagDataSet& operator=(const TagDataSet&) = delete;

  // Runs the statement and copies its whole result into target: the row
  // count (> 0), 0 or a negative code. The base copies nothing and gives 0.
  virtual int ExecToLocal(const std::string& statement, TagLocalResult& target);
  // >= 0 success (0, a row count or a library value), negative failure.
  virtual int Exec(const std::string& statement) = 0;
  virtual int Rows() = 0;
  virtual int Cols() = 0;
  // The index with the name in out; negative (out empty) when there is none.
  virtual int GetColName(int col, std::string& out) = 0;
  // 0-based; negative when not found.
  virtual int GetColIndex(const std::string& name) = 0;
  virtual int GetValByName(std::string& out, const std::string& name, int row) = 0;
  virtual int GetValByIndex(std::string& out, int col, int row) = 0;
  // Only a dBASE file is written; every other kind changes nothing.
  virtual int SetValByName(const std::string& value, const std::string& name, int row);
  virtual int SetValByIndex(const std::string& value, int col, int row);
  // Releases the connection or file. Every subclass destructor calls it.
  virtual void Close() = 0;
  virtual int SetDebug(int mode);

  // Cuts a value to what a read may deliver.
  static void PutValue(std::string& out, const char* p, size_t n);
  static void PutValue(std::string& out, const std::string& v) { PutValue(out, v.data(), v.size()); }

  // Set by the constructor: >= 0 usable, negative when the open failed.
  int status = 0;
  // The "DbOpen(" type code (services/dbkinds.h), written after a successful open.
  int typeCode = 0;
  int debugMode = 0;
  // The last failure's text (debug mode 2, and some backends always).
  std::string lastError;
  // Pool backends only, read and written under the connection's lock: a
  // request runs on it; a "USE " statement was run.
  bool busy = false;
  bool useDone = false;
  // The log name given at open (ODBC data sets).
  std::string logName;

 protected:
  // The common steps of ExecToLocal. widthOf gives a column's cell width
  // in bytes (> 0) or a negative code that ends the copy; valueOf reads a
  // cell (row from 1) and gives a negative code when the copy must stop.
  // Without valueOf the cells are read with GetValByIndex.
  struct LocalCopy {
    std::function<int(int col)> widthOf;
    std::function<int(int row, int col, std::string& out)> valueOf;
    // The SQL Server data set keeps its error text to itself.
    bool copyLastError = true;
  };
  int CopyToLocal(const std::string& statement, TagLocalResult& target, const LocalCopy& how);
};

// One column of a local result.
struct TagField {
  std::string name;
  size_t offset = 0;
  size_t width = 0;
};

struct TagFields {
  std::vector<TagField> list;
  size_t rowWidth = 0;
  void Add(const std::string& name, size_t width) {
    list.push_back({name, rowWidth, width});
    rowWidth += width;
  }
};

// A data set that owns no connection, only an in-memory copy of a result:
// fixed-width cells, a value shorter than its cell followed by zero bytes.
// The pooled data set derives from it and adds the statement and close.
class TagLocalResult : public TagDataSet {
 public:
  // The longest cell a read copies out.
  static constexpr size_t kCellReadMax = 4096;

  int Rows() override { return rows_; }
  int Cols() override { return static_cast<int>(fields_.list.size()); }
  // -1 for a column outside 0..Cols-1.
  int GetColName(int col, std::string& out) override;
  // First field with the name regardless of case; -1 when none.
  int GetColIndex(const std::string& name) override;
  // -1 unknown column, else as GetValByIndex.
  int GetValByName(std::string& out, const std::string& name, int row) override;
  // -1 column outside 0..Cols-1, -2 row outside 1..Rows; else the bytes
  // copied (the cell width, at most kCellReadMax).
  int GetValByIndex(std::string& out, int col, int row) override;

  // Building the result (the backends' ExecToLocal).
  void Empty();
  void AddField(const std::string& name, size_t width) { fields_.Add(name, width); }
  void SetRowCount(int rows) { rows_ = rows; }
  // False, leaving no buffer, when a buffer exists, the size is 0 or does
  // not fit in memory (row width x rows overflowing size_t included).
  bool Allocate();
  bool HasBuffer() const { return !buffer_.empty(); }
  // The cell of (row from 0, column); null outside the result.
  char* Cell(int row, int col, size_t* width);
  const TagFields& Fields() const { return fields_; }

 private:
  TagFields fields_;
  int rows_ = 0;
  std::vector<char> buffer_;
};

// "[time] text" log lines of the data sets, the time as FormatLogTime gives
// it, flushed at once. The lock covers the open, the close and each line,
// so lines of several threads never interleave; it is never held across a
// database call.
class TagDbLog {
 public:
  TagDbLog() = default;
  ~TagDbLog() { Close(); }
  TagDbLog(const TagDbLog&) = delete;
  TagDbLog& operator=(const TagDbLog&) = delete;

  // Opens (creating it) for appending; a path the Windows way. False when
  // the file cannot be opened.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const;
  // Nothing is written while the file is not open.
  void Write(const std::string& text);
  // A line formatted by the caller, written as it stands.
  void WriteRaw(const std::string& line);

  // "[time] text\n".
  static std::string Line(const std::string& text);

 private:
  mutable std::mutex mu_;
  FILE* f_ = nullptr;
};

// A log shared by the data sets of one kind: the first user opens it, the
// last one to leave closes it.
class TagSharedDbLog {
 public:
  explicit TagSharedDbLog(std::string path) : path_(std::move(path)) {}
  TagSharedDbLog(const TagSharedDbLog&) = delete;
  TagSharedDbLog& operator=(const TagSharedDbLog&) = delete;

  void AddUser();
  void RemoveUser();
  int Users() const;
  void Write(const std::string& text) { log_.Write(text); }
  bool IsOpen() const { return log_.IsOpen(); }

 private:
  const std::string path_;
  mutable std::mutex mu_;
  int users_ = 0;
  TagDbLog log_;
};
