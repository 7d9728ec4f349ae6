#include "services/sybdata.h"

#include <cstring>

TagSybData::TagSybData(const std::string& server, const std::string& user, const std::string& password,
                       const std::string& logFile)
    : syb_(std::make_unique<TagSyb>(server, user, password, logFile)) {
  status = syb_->status;
}

TagSybData::~TagSybData() { Close(); }

void TagSybData::Close() { syb_.reset(); }

int TagSybData::SetDebug(int mode) {
  if (syb_) syb_->trace = mode;
  return mode;
}

int TagSybData::Exec(const std::string& statement) {
  if (status < 0 || !syb_) return -1;
  return syb_->Exec(statement);
}

int TagSybData::Rows() { return status < 0 || !syb_ ? -1 : syb_->result.rows; }

int TagSybData::Cols() { return status < 0 || !syb_ ? -1 : syb_->result.cols; }

int TagSybData::GetColName(int col, std::string& out) {
  out.clear();
  if (status < 0 || !syb_) return -1;
  if (col < 0 || col >= syb_->result.cols) return -2;
  PutValue(out, syb_->result.columns[static_cast<size_t>(col)].name);
  return col;
}

int TagSybData::GetColIndex(const std::string& name) {
  if (status < 0 || !syb_) return -1;
  const int i = syb_->ColIndex(name);
  return i < 0 ? -2 : i;
}

int TagSybData::GetValByIndex(std::string& out, int col, int row) {
  out.clear();
  if (status < 0 || !syb_) return 0;
  std::string v;
  if (!syb_->Cell(row - 1, col, &v)) return 0;
  PutValue(out, v);
  return 1;
}

int TagSybData::GetValByName(std::string& out, const std::string& name, int row) {
  out.clear();
  if (status < 0 || !syb_) return 0;
  return GetValByIndex(out, syb_->ColIndex(name), row);
}

int TagSybData::ExecToLocal(const std::string& statement, TagLocalResult& target) {
  target.Empty();
  const int r = Exec(statement);
  if (r < 0) return r;  // the error text stays with this data set
  const int rows = Rows();
  if (rows <= 0) return rows;
  const int cols = Cols();
  if (cols <= 0) return cols;
  target.SetRowCount(rows);
  for (const TagSybColumn& c : syb_->result.columns) target.AddField(c.name, static_cast<size_t>(c.width));
  if (!target.Allocate()) {
    target.Empty();
    return -3;
  }
  // The rows already have the local layout: one copy.
  size_t width = 0;
  char* first = target.Cell(0, 0, &width);
  const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(syb_->result.rowWidth);
  if (first && syb_->result.block.size() >= bytes) std::memcpy(first, syb_->result.block.data(), bytes);
  return rows;
}
