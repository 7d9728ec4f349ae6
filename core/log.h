#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// The program-wide log. Lines are buffered per thread and written in batches:
// after every line in immediate mode, else by the display tick.
class TagWriteLog {
 public:
  static constexpr int kSlots = 40;
  static constexpr size_t kTextMax = 127;

  TagWriteLog(const std::string& fileName, uint32_t sizeLimit, bool immediate, bool singleFile);
  ~TagWriteLog();
  TagWriteLog(const TagWriteLog&) = delete;
  TagWriteLog& operator=(const TagWriteLog&) = delete;

  int Write(const char* text);
  // Lines written, or -1 when no file is open (the lines then stay buffered).
  int Flush();
  std::string FileName() const;
  bool Immediate() const { return immediate_; }

 private:
  // One thread's unwritten lines, oldest first. The owning thread appends,
  // a flush (under the writer's lock) takes from the front.
  struct ThreadLogRec {
    struct Slot {
      char prefix[46];
      char text[kTextMax + 1];
    };
    Slot slots[kSlots];
    std::atomic<uint32_t> head{0};
    std::atomic<uint32_t> tail{0};
  };

  ThreadLogRec* RecForThisThread();
  bool OpenFile();
  int FlushLocked();

  mutable std::mutex lock_;
  std::map<unsigned long, std::unique_ptr<ThreadLogRec>> recs_;
  FILE* fp_ = nullptr;
  uint32_t sizeLimit_;
  bool immediate_;
  bool singleFile_;
  std::string base_, ext_, current_;
};

// The writer now in use (none before the main window makes it and after exit).
std::shared_ptr<TagWriteLog> GetLogWriter();
void SetLogWriter(std::shared_ptr<TagWriteLog> writer);

void LogAlways(const char* text);
void Log(const char* text);
void RawLog(const char* text);
inline void LogAlways(const std::string& t) { LogAlways(t.c_str()); }
inline void Log(const std::string& t) { Log(t.c_str()); }
inline void RawLog(const std::string& t) { RawLog(t.c_str()); }
void LogAlwaysF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Local time as "%d%02d%02d %02d:%02d:%02d.%03d" (database log stamps).
std::string FormatLogTime();
// Local time as "%d-%02d-%02d %02d:%02d:%02d.%03d 0x%x [" for this thread.
std::string FormatLogPrefix();
