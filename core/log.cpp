#include "core/log.h"

#include "platform/bytes.h"
#include "platform/format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "core/runcfg.h"
#include "platform/logsink.h"
#include "platform/faults.h"
#include "platform/path.h"
#include "platform/tick.h"

namespace {

std::atomic<std::shared_ptr<TagWriteLog>> g_writer;

struct LocalNow {
  tm t{};
  int ms = 0;
};

LocalNow Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  LocalNow n;
  time_t s = tv.tv_sec;
  localtime_r(&s, &n.t);
  n.ms = static_cast<int>(tv.tv_usec / 1000);
  return n;
}

void FormatPrefix(char* out, size_t size) {
  LocalNow n = Now();
  std::snprintf(out, size, "%d-%02d-%02d %02d:%02d:%02d.%03d 0x%lx [", n.t.tm_year + 1900, n.t.tm_mon + 1,
                n.t.tm_mday, n.t.tm_hour, n.t.tm_min, n.t.tm_sec, n.ms, plat::ThreadId());
}

// 0 when the size cannot be told: the log is then not rotated.
long FileSize(FILE* f) {
  int64_t n = plat::FileSizeOf(f);
  return n < 0 ? 0 : static_cast<long>(n);
}

bool PathExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// Moves a file aside, copying when a rename across volumes fails.
void MoveReplacing(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return;
  FILE* in = std::fopen(from.c_str(), "rbe");
  if (!in) return;
  FILE* out = std::fopen(to.c_str(), "wbe");
  if (out) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) std::fwrite(buf, 1, n, out);
    std::fclose(out);
  }
  std::fclose(in);
  std::remove(from.c_str());
}

}  // namespace

TagWriteLog::TagWriteLog(const std::string& fileName, uint32_t sizeLimit, bool immediate, bool singleFile)
    : sizeLimit_(sizeLimit), immediate_(immediate), singleFile_(singleFile) {
  if (singleFile_) {
    base_ = fileName;
  } else {
    base_ = fileName;
    for (size_t i = fileName.size(); i-- > 0;) {
      char c = fileName[i];
      if (c == '\\' || c == '/') break;
      if (c == '.') {
        base_ = fileName.substr(0, i);
        ext_ = fileName.substr(i);
        break;
      }
    }
  }
  std::lock_guard<std::mutex> g(lock_);
  OpenFile();
  if (fp_) std::fputs("\nSystem Start...\n", fp_);
}

TagWriteLog::~TagWriteLog() {
  std::lock_guard<std::mutex> g(lock_);
  FlushLocked();
  if (fp_) {
    std::fputs("System Closed.\n", fp_);
    std::fclose(fp_);
    fp_ = nullptr;
  }
}

bool TagWriteLog::OpenFile() {
  if (fp_) {
    std::fclose(fp_);
    fp_ = nullptr;
  }
  std::string name = base_;
  if (!singleFile_) {
    LocalNow n = Now();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%d%02d%02d_%02d%02d%02d", n.t.tm_year + 1900, n.t.tm_mon + 1, n.t.tm_mday,
                  n.t.tm_hour, n.t.tm_min, n.t.tm_sec);
    name = plat::ResolvePath(base_ + stamp + ext_);
    // A second rotation within the same second gets a name of its own, so the
    // file just filled is never truncated.
    if (name == current_ || (PathExists(name) && name != plat::ResolvePath(current_))) {
      for (int k = 1; k < 1000; ++k) {
        std::string alt = plat::ResolvePath(base_ + stamp + "_" + std::to_string(k) + ext_);
        if (!PathExists(alt)) {
          name = alt;
          break;
        }
      }
    }
  } else {
    name = plat::ResolvePath(base_);
  }
  current_ = name;
  int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    fp_ = ::fdopen(fd, "r+");
    if (!fp_) ::close(fd);
  }
  if (fp_) std::fseek(fp_, 0, SEEK_END);
  if (!fp_ || static_cast<unsigned long>(FileSize(fp_)) > sizeLimit_) {
    if (fp_) {
      std::fclose(fp_);
      fp_ = nullptr;
    }
    if (singleFile_ && PathExists(name)) MoveReplacing(name, name + ".bak");
    fp_ = std::fopen(name.c_str(), "we");
  }
  return fp_ != nullptr;
}

TagWriteLog::ThreadLogRec* TagWriteLog::RecForThisThread() {
  unsigned long id = plat::ThreadId();
  std::lock_guard<std::mutex> g(lock_);
  auto& rec = recs_[id];
  if (!rec) rec = std::make_unique<ThreadLogRec>();
  return rec.get();
}

int TagWriteLog::Write(const char* text) {
  ThreadLogRec* rec = RecForThisThread();
  uint32_t tail = rec->tail.load(std::memory_order_relaxed);
  if (tail - rec->head.load(std::memory_order_acquire) >= kSlots) {
    std::lock_guard<std::mutex> g(lock_);
    if (FlushLocked() < 0 && tail - rec->head.load(std::memory_order_relaxed) >= kSlots) {
      // No file to write to: the oldest line gives way.
      rec->head.fetch_add(1, std::memory_order_release);
    }
  }
  ThreadLogRec::Slot& s = rec->slots[tail % kSlots];
  FormatPrefix(s.prefix, sizeof s.prefix);
  size_t n = text ? std::strlen(text) : 0;
  if (n > kTextMax) n = kTextMax;
  if (n) std::memcpy(s.text, text, n);
  s.text[n] = 0;
  // Published last: a flush sees the slot only once its bytes are complete.
  rec->tail.store(tail + 1, std::memory_order_release);
  if (immediate_) Flush();
  return 0;
}

int TagWriteLog::Flush() {
  std::lock_guard<std::mutex> g(lock_);
  return FlushLocked();
}

int TagWriteLog::FlushLocked() {
  if (!fp_) return -1;
  int written = 0;
  std::string batch;
  for (auto& [id, rec] : recs_) {
    uint32_t head = rec->head.load(std::memory_order_relaxed);
    uint32_t tail = rec->tail.load(std::memory_order_acquire);
    for (; head != tail; ++head) {
      const ThreadLogRec::Slot& s = rec->slots[head % kSlots];
      batch += s.prefix;
      batch += s.text;
      batch += "]\n";
      ++written;
    }
    rec->head.store(head, std::memory_order_release);
  }
  if (written > 0) {
    // The lines go out in one write; when the disk takes only part of them
    // the part is taken back, so the file never ends in a torn line that the
    // next one would be glued to. Lines that could not be written are lost.
    std::fflush(fp_);
    const int fd = ::fileno(fp_);
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    ssize_t w;
    do {
      w = plat::WriteFd(fd, batch.data(), batch.size());
    } while (w < 0 && errno == EINTR);
    if (w != static_cast<ssize_t>(batch.size())) {
      struct stat st {};
      if (w > 0 && at >= 0 && ::fstat(fd, &st) == 0 && st.st_size == at + w) {
        while (::ftruncate(fd, at) != 0 && errno == EINTR) {
        }
      }
      if (at >= 0) ::lseek(fd, at, SEEK_SET);
      written = 0;
    }
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end > 0 && static_cast<unsigned long>(end) > sizeLimit_) {
      if (singleFile_)
        std::fseek(fp_, 0, SEEK_SET);
      else
        OpenFile();
    }
  }
  return written;
}

std::string TagWriteLog::FileName() const {
  std::lock_guard<std::mutex> g(lock_);
  return current_;
}

std::shared_ptr<TagWriteLog> GetLogWriter() { return g_writer.load(); }
namespace {
void PlatformLine(plat::LogKind kind, const char* text) {
  switch (kind) {
    case plat::LogKind::Normal: Log(text); break;
    case plat::LogKind::Always: LogAlways(text); break;
    case plat::LogKind::Raw: RawLog(text); break;
  }
}
}  // namespace

void SetLogWriter(std::shared_ptr<TagWriteLog> writer) {
  g_writer.store(std::move(writer));
  // The platform layer logs through the program log from now on.
  plat::SetLogSink(&PlatformLine);
}

void LogAlways(const char* text) {
  if (auto w = g_writer.load()) w->Write(text);
  if (logLevel.load(std::memory_order_relaxed) > 2) RawLog(text);
}

void Log(const char* text) {
  if (logLevel.load(std::memory_order_relaxed) != 0) LogAlways(text);
}

void RawLog(const char* text) {
  if (logLevel.load(std::memory_order_relaxed) < 2) return;
  FILE* f = plat::OpenFile("RawLog.txt", "a+");
  if (!f) return;
  char prefix[64];
  FormatPrefix(prefix, sizeof prefix);
  std::fprintf(f, "%s%s]\n", prefix, text ? text : "");
  std::fclose(f);
}

using plat::VFormat;

void LogAlwaysF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = VFormat(fmt, ap);
  va_end(ap);
  LogAlways(s.c_str());
}

void LogF(const char* fmt, ...) {
  if (logLevel.load(std::memory_order_relaxed) == 0) return;
  va_list ap;
  va_start(ap, fmt);
  std::string s = VFormat(fmt, ap);
  va_end(ap);
  LogAlways(s.c_str());
}

std::string FormatLogTime() {
  LocalNow n = Now();
  char buf[40];
  std::snprintf(buf, sizeof buf, "%d%02d%02d %02d:%02d:%02d.%03d", n.t.tm_year + 1900, n.t.tm_mon + 1, n.t.tm_mday,
                n.t.tm_hour, n.t.tm_min, n.t.tm_sec, n.ms);
  return buf;
}

std::string FormatLogPrefix() {
  char buf[64];
  FormatPrefix(buf, sizeof buf);
  return buf;
}
