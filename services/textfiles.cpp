#include "services/textfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "engine/tagvar.h"
#include "platform/faults.h"
#include "platform/path.h"

// ---- TTextFileRead ----

namespace {

// The C mode of the letters of a script's mode text; empty when it asks for
// neither reading nor writing.
std::string CMode(const std::string &mode) {
  const bool a = mode.find('a') != std::string::npos;
  const bool w = mode.find('w') != std::string::npos;
  const bool plus = !a && mode.find('+') != std::string::npos;
  const bool r = mode.find('r') != std::string::npos || plus;
  if (a) return r ? "a+" : "a";
  if (w) return r ? "w+" : "w";
  if (plus) return "r+";
  if (r) return "r";
  return "";
}

}  // namespace

TTextFileRead::TTextFileRead(const std::string &path, const std::string &mode) {
  const std::string m = CMode(mode);
  if (m.empty()) return;
  f_ = plat::OpenFile(path, (m + "e").c_str());
  // The C library opens a folder for reading; a script cannot use it.
  struct stat st{};
  if (f_ && fstat(fileno(f_), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f_);
    f_ = nullptr;
  }
}

TTextFileRead::~TTextFileRead() {
  if (f_) fclose(f_);
}

void TTextFileRead::ToReading() {
  if (last_ == Last::kWrite) fflush(f_);
  last_ = Last::kRead;
}

void TTextFileRead::ToWriting() {
  // Switching from input to output needs a positioning call in between.
  if (last_ == Last::kRead) fseeko(f_, 0, SEEK_CUR);
  last_ = Last::kWrite;
}

std::string TTextFileRead::ReadAll() {
  ToReading();
  std::string out;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
  return out;
}

std::string TTextFileRead::ReadSize(int64_t n) {
  ToReading();
  std::string out;
  char buf[65536];
  while (n > 0) {
    const size_t want = n < int64_t(sizeof buf) ? size_t(n) : sizeof buf;
    const size_t got = fread(buf, 1, want, f_);
    out.append(buf, got);
    n -= int64_t(got);
    if (got < want) break;
  }
  return out;
}

bool TTextFileRead::ReadLine(std::string &line) {
  ToReading();
  line.clear();
  int c = EOF;
  bool any = false;
  while (line.size() < kMaxLine && (c = getc_unlocked(f_)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(char(c));
  }
  if (line.size() == kMaxLine) {
    // A line end (LF or CR LF) right after the longest line belongs to it.
    const int next = getc_unlocked(f_);
    if (next == '\r') {
      const int after = getc_unlocked(f_);
      if (after != '\n') {
        // A lone CR starts the next line, as it was (the C library takes
        // back more than one byte).
        if (after != EOF) ungetc(after, f_);
        ungetc(next, f_);
      }
    } else if (next != '\n' && next != EOF) {
      ungetc(next, f_);
    }
  }
  if (!any) return false;
  const size_t cut = line.find_first_of("\r\n");
  if (cut != std::string::npos) line.resize(cut);
  return true;
}

int64_t TTextFileRead::Seek(int64_t pos) {
  // A stream that hit the end or failed reads again after a seek.
  clearerr(f_);
  last_ = Last::kNone;
  if (fseeko(f_, pos, SEEK_SET) != 0) return -1;
  return pos;
}

bool TTextFileRead::Write(const char *p, size_t n) {
  ToWriting();
  bool flushed = false;
  const bool all = plat::WriteStream(f_, p, n, &flushed) == n;
  if (!all || !flushed) clearerr(f_);
  return all && flushed;
}

// ---- TTextFileSet ----

int TTextFileSet::FileOpen(const std::string &path, const std::string &mode) {
  auto file = std::make_unique<TTextFileRead>(path, mode);
  if (!file->IsOpen()) return -1;
  const int h = next_++;
  files_[h] = std::move(file);
  return h;
}

void TTextFileSet::FileClose(int handle) { files_.erase(handle); }

void TTextFileSet::FileCloseAll() { files_.clear(); }

TTextFileRead *TTextFileSet::Find(int handle) {
  auto it = files_.find(handle);
  return it == files_.end() ? nullptr : it->second.get();
}

int TTextFileSet::FileRead(int handle, TagVar &out) {
  TTextFileRead *f = Find(handle);
  if (!f) {
    out.SetString("");
    return 0;
  }
  const std::string data = f->ReadAll();
  out.SetBytes(data.data(), data.size());
  return static_cast<int>(data.size());
}

int TTextFileSet::FileReadSize(int handle, int n, TagVar &out) {
  TTextFileRead *f = Find(handle);
  if (!f) {
    out.SetString("");
    return 0;
  }
  const std::string data = f->ReadSize(n);
  out.SetBytes(data.data(), data.size());
  return static_cast<int>(data.size());
}

int TTextFileSet::FileReadLine(int handle, TagVar &out) {
  TTextFileRead *f = Find(handle);
  if (!f) {
    out.SetString("");
    return 0;
  }
  std::string line;
  if (!f->ReadLine(line)) {
    out.SetString("");
    return -1;
  }
  out.SetBytes(line.data(), line.size());
  return static_cast<int>(line.size());
}

int TTextFileSet::FileReadLines(int handle, TagVar &out) {
  TTextFileRead *f = Find(handle);
  if (!f) {
    out.SetString("");
    return 0;
  }
  int n = 0;
  std::string line;
  while (f->ReadLine(line)) {
    out.SetItem(TagVar::Int(n), TagVar::Str(line));
    ++n;
  }
  return n;
}

int TTextFileSet::FileMapLines(int handle, TagVar &out) {
  TTextFileRead *f = Find(handle);
  if (!f) {
    out.SetString("");
    return 0;
  }
  int n = 0;
  std::string line;
  while (f->ReadLine(line)) {
    ++n;
    out.SetItem(TagVar::Str(line), TagVar::Int(n));
  }
  return n;
}

int TTextFileSet::FileSeek(int handle, int pos) {
  TTextFileRead *f = Find(handle);
  if (!f) return 0;
  f->Seek(pos);
  return pos;
}

int TTextFileSet::FileWrite(int handle, const TagVar &value) {
  TTextFileRead *f = Find(handle);
  if (!f) return 0;
  if (value.IsString()) return f->Write(value.Text(), value.TextLen()) ? 0 : -1;
  const std::string text = value.ToText();
  return f->Write(text.data(), text.size()) ? 0 : -1;
}

// ---- TTxtRec ----

TTxtRec::TTxtRec(const std::string &path, int64_t nowMs) : lastWriteMs_(nowMs) {
  fd_ = plat::OpenFd(plat::ResolvePath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

TTxtRec::~TTxtRec() { Close(); }

void TTxtRec::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TTxtRec::IsOpen() {
  std::lock_guard<std::mutex> lock(mu_);
  return fd_ >= 0;
}

namespace {

std::string StampPrefix(int lineNo, int mode) {
  if (mode <= 1) return {};
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  char buf[96];
  const int ms = static_cast<int>(ts.tv_nsec / 1000000);
  if (mode == 2)
    snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d.%03d : ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, ms);
  else
    snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d.%03d [%d]: ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, ms, lineNo);
  return buf;
}

}  // namespace

int TTxtRec::Write(int lineNo, const std::string &text, int mode, int64_t nowMs) {
  std::string line = StampPrefix(lineNo, mode);
  line += text;
  if (mode != 0) line.push_back('\n');
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ < 0) return -1;
  // One write: O_APPEND places the whole line at the end atomically; one
  // that could not go out whole is taken back.
  if (!plat::AppendWhole(fd_, line.data(), line.size())) return -1;
  lastWriteMs_.store(nowMs, std::memory_order_release);
  return 0;
}

// ---- TTxtAppend ----

TTxtAppend::TTxtAppend(Clock clock) : clock_(std::move(clock)) {}

int64_t TTxtAppend::Now() const {
  if (clock_) return clock_();
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int TTxtAppend::Append(const std::string &name, int lineNo, const std::string &text, int mode) {
  std::shared_ptr<TTxtRec> rec;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto &slot = recs_[name];
    // A record whose open failed stays until the idle rule drops it, so a
    // missing folder is not retried at every append.
    if (!slot) slot = std::make_shared<TTxtRec>(name, Now());
    rec = slot;
  }
  const int result = rec->Write(lineNo, text, mode, Now());
  CloseIdle();
  return result;
}

int TTxtAppend::Close(const std::string &name) {
  std::shared_ptr<TTxtRec> rec;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = recs_.find(name);
    if (it == recs_.end()) return -1;
    rec = std::move(it->second);
    recs_.erase(it);
  }
  rec->Close();
  return 0;
}

int TTxtAppend::CloseIdle() {
  std::vector<std::shared_ptr<TTxtRec>> idle;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const int64_t now = Now();
    for (auto it = recs_.begin(); it != recs_.end();) {
      if (now - it->second->LastWriteMs() >= kIdleMs) {
        idle.push_back(std::move(it->second));
        it = recs_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Closed outside the registry lock: a slow close never holds up others.
  for (auto &rec : idle) rec->Close();
  return static_cast<int>(idle.size());
}

void TTxtAppend::CloseAll() {
  std::unordered_map<std::string, std::shared_ptr<TTxtRec>> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    all.swap(recs_);
  }
  for (auto &[name, rec] : all) rec->Close();
}

size_t TTxtAppend::Count() {
  std::lock_guard<std::mutex> lock(mu_);
  return recs_.size();
}

TTxtAppend &TextAppendRegistry() {
  static TTxtAppend registry;
  return registry;
}

