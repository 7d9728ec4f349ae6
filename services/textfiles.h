#pragma once
// Text files of scripts. A line's table of numbered handles (TTextFileSet,
// kept in the line's services) and the process-wide append registry
// (TTxtAppend) that keeps log-like files open by name for every line.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/lineservices.h"

class TagVar;

// One open file of a script. The letters of the mode text count wherever
// they stand: r read, w write and truncate, a append, + read and write
// (ignored with a), b binary (no effect here).
class TTextFileRead {
 public:
  TTextFileRead(const std::string &path, const std::string &mode);
  ~TTextFileRead();
  TTextFileRead(const TTextFileRead &) = delete;
  TTextFileRead &operator=(const TTextFileRead &) = delete;

  bool IsOpen() const { return f_ != nullptr; }
  // The longest line one read returns; the rest of a longer line comes with
  // the next read.
  static constexpr size_t kMaxLine = 8191;
  // Everything from the position to the end.
  std::string ReadAll();
  // At most n bytes, read in pieces so a huge n costs only what the file has.
  std::string ReadSize(int64_t n);
  // One line without its end, cut at the first CR or LF; false at the end.
  bool ReadLine(std::string &line);
  // The position, or -1 when the seek failed.
  int64_t Seek(int64_t pos);
  // False when the bytes did not all reach the file.
  bool Write(const char *p, size_t n);

 private:
  // A C stream must be flushed or positioned between reading and writing.
  void ToReading();
  void ToWriting();

  FILE *f_ = nullptr;
  enum class Last { kNone, kRead, kWrite } last_ = Last::kNone;
};

// The table of a line's numbered handles. Used by its own line only.
class TTextFileSet : public TagLineService {
 public:
  ~TTextFileSet() override { FileCloseAll(); }
  void Close() override { FileCloseAll(); }

  // The new handle (never reused), or -1 when the file cannot be opened.
  int FileOpen(const std::string &path, const std::string &mode);
  void FileClose(int handle);
  void FileCloseAll();
  // For an unknown handle each call below writes the empty string into its
  // output and returns 0.
  int FileRead(int handle, TagVar &out);
  int FileReadSize(int handle, int n, TagVar &out);
  // The length, or -1 with the empty string at the end of the file.
  int FileReadLine(int handle, TagVar &out);
  // Line i (from 0) under key i; the number of lines.
  int FileReadLines(int handle, TagVar &out);
  // Each line as a key, its 1-based number as value; the number of lines.
  int FileMapLines(int handle, TagVar &out);
  int FileSeek(int handle, int pos);
  // 0, or -1 when the write failed.
  int FileWrite(int handle, const TagVar &value);
  size_t OpenCount() const { return files_.size(); }

 private:
  TTextFileRead *Find(int handle);
  std::map<int, std::unique_ptr<TTextFileRead>> files_;
  int next_ = 0;
};

// One append file. The file is opened with O_APPEND and every line goes out
// in one write, so lines of different lines and processes never interleave.
class TTxtRec {
 public:
  TTxtRec(const std::string &path, int64_t nowMs);
  ~TTxtRec();
  TTxtRec(const TTxtRec &) = delete;
  TTxtRec &operator=(const TTxtRec &) = delete;

  // Mode 0 the bare text, 1 (and below) the text and a line feed, 2 a time
  // stamp first, 3 and above the stamp and the line number. 0 written, -1
  // not open (never opened, or closed meanwhile) or the write failed.
  int Write(int lineNo, const std::string &text, int mode, int64_t nowMs);
  // Closes the file; later writes get -1.
  void Close();
  bool IsOpen();
  int64_t LastWriteMs() const { return lastWriteMs_.load(std::memory_order_acquire); }

 private:
  std::mutex mu_;
  int fd_ = -1;
  std::atomic<int64_t> lastWriteMs_;
};

// The process-wide registry of append files, by the name as the script gave
// it (two spellings of one file are two records; O_APPEND keeps them apart).
// Records are shared: one a line has just found stays valid while it writes,
// even if the idle rule or a close removes it from the registry meanwhile.
class TTxtAppend {
 public:
  // Milliseconds of a monotonic clock; tests pass their own.
  using Clock = std::function<int64_t()>;
  static constexpr int64_t kIdleMs = 601 * 1000;

  explicit TTxtAppend(Clock clock = {});
  ~TTxtAppend() { CloseAll(); }
  TTxtAppend(const TTxtAppend &) = delete;
  TTxtAppend &operator=(const TTxtAppend &) = delete;

  // 0 written, -1 the file could not be opened (or the write failed).
  int Append(const std::string &name, int lineNo, const std::string &text, int mode);
  // 0 it was registered, -1 not.
  int Close(const std::string &name);
  // Closes every record idle for 601 s or more (one that never opened counts
  // from when it was made); the number closed.
  int CloseIdle();
  void CloseAll();
  size_t Count();

 private:
  int64_t Now() const;
  Clock clock_;
  std::mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<TTxtRec>> recs_;
};

// The registry of the process (its slot is made at start and closed at exit).
TTxtAppend &TextAppendRegistry();
