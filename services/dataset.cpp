#include "services/dataset.h"

#include <strings.h>

#include <cstring>
#include <limits>
#include <new>

#include "core/log.h"
#include "platform/faults.h"
#include "platform/path.h"

int TagDataSet::ExecToLocal(const std::string&, TagLocalResult&) { return 0; }
int TagDataSet::SetValByName(const std::string&, const std::string&, int) { return 0; }
int TagDataSet::SetValByIndex(const std::string&, int, int) { return 0; }

int TagDataSet::SetDebug(int mode) {
  debugMode = mode;
  return mode;
}

void TagDataSet::PutValue(std::string& out, const char* p, size_t n) {
  out.assign(p, n < kDbValueMax ? n : kDbValueMax);
}

int TagDataSet::CopyToLocal(const std::string& statement, TagLocalResult& target, const LocalCopy& how) {
  target.Empty();
  const int r = Exec(statement);
  if (r < 0) {
    if (how.copyLastError) target.lastError = lastError;
    return r;
  }
  const int rows = Rows();
  if (rows <= 0) return rows;
  const int cols = Cols();
  if (cols <= 0) return cols;
  target.SetRowCount(rows);
  for (int c = 0; c < cols; ++c) {
    const int width = how.widthOf(c);
    if (width < 0) {
      target.Empty();
      return width;
    }
    std::string name;
    GetColName(c, name);
    target.AddField(name, static_cast<size_t>(width));
  }
  if (!target.Allocate()) {
    target.Empty();
    return -3;
  }
  std::string value;
  for (int row = 1; row <= rows; ++row) {
    for (int c = 0; c < cols; ++c) {
      value.clear();
      if (how.valueOf) {
        const int v = how.valueOf(row, c, value);
        if (v < 0) return v;
      } else {
        GetValByIndex(value, c, row);
      }
      size_t width = 0;
      char* cell = target.Cell(row - 1, c, &width);
      if (cell != nullptr) std::memcpy(cell, value.data(), value.size() < width ? value.size() : width);
    }
  }
  return rows;
}

// --- the local result ---

void TagLocalResult::Empty() {
  fields_ = TagFields();
  rows_ = 0;
  std::vector<char>().swap(buffer_);
}

bool TagLocalResult::Allocate() {
  if (!buffer_.empty() || rows_ <= 0 || fields_.rowWidth == 0) return false;
  const size_t rows = static_cast<size_t>(rows_);
  if (fields_.rowWidth > std::numeric_limits<size_t>::max() / rows) {
    Log(" new err!");
    return false;
  }
  try {
    buffer_.assign(fields_.rowWidth * rows, '\0');
  } catch (const std::exception& e) {
    Log(e.what());
    std::vector<char>().swap(buffer_);
    return false;
  }
  return true;
}

char* TagLocalResult::Cell(int row, int col, size_t* width) {
  if (buffer_.empty() || row < 0 || row >= rows_ || col < 0 || col >= Cols()) return nullptr;
  const TagField& f = fields_.list[static_cast<size_t>(col)];
  *width = f.width;
  return buffer_.data() + static_cast<size_t>(row) * fields_.rowWidth + f.offset;
}

int TagLocalResult::GetColName(int col, std::string& out) {
  out.clear();
  if (col < 0 || col >= Cols()) return -1;
  PutValue(out, fields_.list[static_cast<size_t>(col)].name);
  return col;
}

int TagLocalResult::GetColIndex(const std::string& name) {
  for (size_t i = 0; i < fields_.list.size(); ++i)
    if (strcasecmp(fields_.list[i].name.c_str(), name.c_str()) == 0) return static_cast<int>(i);
  return -1;
}

int TagLocalResult::GetValByName(std::string& out, const std::string& name, int row) {
  out.clear();
  const int col = GetColIndex(name);
  if (col < 0) return -1;
  return GetValByIndex(out, col, row);
}

int TagLocalResult::GetValByIndex(std::string& out, int col, int row) {
  out.clear();
  if (col < 0 || col >= Cols()) return -1;
  if (row < 1 || row > rows_) return -2;
  size_t width = 0;
  const char* cell = Cell(row - 1, col, &width);
  if (cell == nullptr) return -2;
  const size_t n = width < kCellReadMax ? width : kCellReadMax;
  const void* nul = std::memchr(cell, '\0', n);
  out.assign(cell, nul ? static_cast<const char*>(nul) - cell : n);
  return static_cast<int>(n);
}

// --- logs ---

std::string TagDbLog::Line(const std::string& text) { return "[" + FormatLogTime() + "] " + text + "\n"; }

bool TagDbLog::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (f_ != nullptr) std::fclose(f_);
  f_ = plat::OpenFile(path, "a+");
  return f_ != nullptr;
}

void TagDbLog::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (f_ != nullptr) std::fclose(f_);
  f_ = nullptr;
}

bool TagDbLog::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return f_ != nullptr;
}

void TagDbLog::Write(const std::string& text) { WriteRaw(Line(text)); }

void TagDbLog::WriteRaw(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (f_ == nullptr) return;
  // Straight to the file (opened for appending), whole or not at all, so a
  // full disk leaves no torn line for the next one to glue onto.
  plat::AppendWhole(fileno(f_), line.data(), line.size());
}

void TagSharedDbLog::AddUser() {
  std::lock_guard<std::mutex> lock(mu_);
  if (users_++ == 0) log_.Open(path_);
}

void TagSharedDbLog::RemoveUser() {
  std::lock_guard<std::mutex> lock(mu_);
  if (users_ == 0) return;
  if (--users_ == 0) log_.Close();
}

int TagSharedDbLog::Users() const {
  std::lock_guard<std::mutex> lock(mu_);
  return users_;
}
