#pragma once
// dBASE III table files read and written in place, and the data set over
// one such file. There is no SQL: the statement of the data set is the path
// of the file to open. The header is re-read before every access, so
// records another writer appended are seen at once.
//
// Writers (lines of this process and other processes) are serialised per
// file from the header read to the header write: a process-wide lock keyed
// by the file's device and inode, then an open-file-description lock on the
// file (it stays ours whatever other descriptors of the file close).
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/dataset.h"

// One field descriptor, as the reader keeps it.
struct TagDbfField {
  char name[11] = {};  // NUL-terminated, at most 10 characters
  char type = 'C';
  uint32_t offset = 0;  // in the record, after the deletion flag
  uint8_t length = 0;
};

class TagDbf {
 public:
  static constexpr size_t kHeaderSize = 32;
  static constexpr size_t kPathMax = 79;
  static constexpr size_t kValueMax = 1000;
  // Error codes.
  static constexpr int kSeek = -1, kShortRead = -2, kShortWrite = -3, kNoRecord = -4, kNotOpen = -5, kNotTable = -7;

  TagDbf() = default;
  ~TagDbf() { CloseFile(); }
  TagDbf(const TagDbf&) = delete;
  TagDbf& operator=(const TagDbf&) = delete;

  // 0, kNotOpen (missing, inaccessible, shorter than a header, path too
  // long) or kNotTable (version, malformed descriptors, fields that do not
  // fit the record). Also the status.
  int Open(const std::string& path);
  int Status() const { return status_; }

  // The record count, or kSeek / kShortRead.
  int64_t RecordCount();
  // Record n (from 1) into the buffer, NULs turned into blanks: n, or an
  // error code (kNoRecord outside 1..count).
  int64_t ReadRecord(int64_t n);
  // The buffer written as record n, or appended for n = -1 (the new count
  // is returned), the update date and count stored in the header. The
  // caller holds the write lock (WriteLock) from its read to this write.
  int64_t WriteRecord(int64_t n);
  // The field's bytes as they stand in the buffer; -1 (empty) when absent.
  // Names compare exactly.
  int GetValue(const std::string& name, std::string& out) const;
  // Right-aligned into the field, blanks before it, cut to the field's
  // length; -1 for an unknown field or a value over 1000 bytes.
  int SetValue(const std::string& value, const std::string& name);
  // 1-based position of the first field named so regardless of case; 0.
  int FindColumn(const std::string& name) const;

  int FieldCount() const { return static_cast<int>(fields_.size()); }
  const TagDbfField& Field(int i) const { return fields_[static_cast<size_t>(i)]; }
  // Field i's bytes of the buffer (i valid).
  std::string FieldBytes(int i) const;
  int FieldIndex(const std::string& name) const;  // exact; -1
  uint16_t RecordLength() const { return recordLength_; }
  const std::vector<char>& Buffer() const { return buffer_; }

  // Holds the file's write lock while it lives.
  class WriteLock {
   public:
    explicit WriteLock(TagDbf& dbf);
    ~WriteLock();
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

   private:
    TagDbf& dbf_;
    std::shared_ptr<std::mutex> process_;
    bool fileLocked_ = false;
  };

 private:
  void CloseFile();
  int ReadHeader();

  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uint8_t header_[kHeaderSize] = {};
  std::vector<TagDbfField> fields_;
  int status_ = kNotOpen;
  std::string path_;
  uint16_t headerLength_ = 0;
  uint16_t recordLength_ = 0;
  std::vector<char> buffer_;  // record length + 1
};

class TagDbfData : public TagDataSet {
 public:
  explicit TagDbfData(const std::string& path);
  ~TagDbfData() override;

  // Closes the current file and opens the named one: 0, -5, -7, also the
  // status.
  int Exec(const std::string& path) override;
  int Rows() override;
  int Cols() override;
  int GetColName(int col, std::string& out) override;
  int GetColIndex(const std::string& name) override;
  int GetValByName(std::string& out, const std::string& name, int row) override;
  int GetValByIndex(std::string& out, int col, int row) override;
  // Row 1..count rewrites that record with one field changed; row -1
  // appends the buffer (the record last read or written) with the field
  // changed. The record written, or a negative code.
  int SetValByName(const std::string& value, const std::string& name, int row) override;
  int SetValByIndex(const std::string& value, int col, int row) override;
  void Close() override;

 private:
  bool IsOpen() const { return dbf_ && dbf_->Status() == 0; }
  std::unique_ptr<TagDbf> dbf_;
};
