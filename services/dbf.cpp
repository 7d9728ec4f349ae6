#include "services/dbf.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

#include "platform/bytes.h"
#include "platform/faults.h"
#include "platform/path.h"

namespace {

// A whole read or write at a position; false when fewer bytes moved.
bool ReadAt(int fd, void* p, size_t n, uint64_t pos) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, static_cast<char*>(p) + done, n - done, static_cast<off_t>(pos + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool WriteAt(int fd, const void* p, size_t n, uint64_t pos) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r =
        plat::PwriteFd(fd, static_cast<const char*>(p) + done, n - done, static_cast<off_t>(pos + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// Positions past what a file may hold are refused before any seek.
bool FitsOffset(uint64_t pos, uint64_t n) {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  return pos <= kMax && n <= kMax - pos;
}

// One mutex per file of the process, found by device and inode, alive
// while a writer holds it.
std::shared_ptr<std::mutex> ProcessLockFor(dev_t dev, ino_t ino) {
  static std::mutex regMu;
  static std::map<std::pair<dev_t, ino_t>, std::weak_ptr<std::mutex>> reg;
  std::lock_guard<std::mutex> lock(regMu);
  auto& slot = reg[{dev, ino}];
  std::shared_ptr<std::mutex> m = slot.lock();
  if (!m) {
    m = std::make_shared<std::mutex>();
    slot = m;
  }
  if (reg.size() > 64) {
    for (auto it = reg.begin(); it != reg.end();) it = it->second.expired() ? reg.erase(it) : std::next(it);
  }
  return m;
}

}  // namespace

TagDbf::WriteLock::WriteLock(TagDbf& dbf) : dbf_(dbf) {
  if (dbf_.fd_ < 0) return;
  process_ = ProcessLockFor(dbf_.dev_, dbf_.ino_);
  process_->lock();
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int r;
  do r = ::fcntl(dbf_.fd_, F_OFD_SETLKW, &fl);
  while (r < 0 && errno == EINTR);
  fileLocked_ = r == 0;
}

TagDbf::WriteLock::~WriteLock() {
  if (fileLocked_) {
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    ::fcntl(dbf_.fd_, F_OFD_SETLK, &fl);
  }
  if (process_) process_->unlock();
}

void TagDbf::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int TagDbf::Open(const std::string& path) {
  CloseFile();
  fields_.clear();
  buffer_.clear();
  status_ = kNotOpen;
  if (path.empty() || path.size() > kPathMax) return status_;
  path_ = path;
  fd_ = plat::OpenFd(plat::ResolvePath(path).c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) return status_;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || !ReadAt(fd_, header_, kHeaderSize, 0)) {
    CloseFile();
    return status_;
  }
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  status_ = kNotTable;
  const int version = header_[0];
  const int headerLength = static_cast<int16_t>(plat::Le16(header_ + 8));
  const int recordLength = static_cast<int16_t>(plat::Le16(header_ + 10));
  const int count = (headerLength - 1) / 32 - 1;
  if ((version != 0x03 && version != 0x83) || count <= 0 || recordLength <= 0) {
    CloseFile();
    return status_;
  }
  std::vector<uint8_t> desc(static_cast<size_t>(count) * 32);
  if (!ReadAt(fd_, desc.data(), desc.size(), kHeaderSize)) {
    CloseFile();
    return status_;
  }
  uint64_t offset = 1;
  for (int i = 0; i < count; ++i) {
    const uint8_t* d = desc.data() + static_cast<size_t>(i) * 32;
    TagDbfField f;
    if (std::memchr(d, 0, sizeof f.name) == nullptr) {
      CloseFile();
      return status_;
    }
    std::memcpy(f.name, d, sizeof f.name);
    f.type = static_cast<char>(d[11]);
    f.length = d[16];
    f.offset = static_cast<uint32_t>(offset);
    offset += f.length;
    if (offset > static_cast<uint64_t>(recordLength)) {
      CloseFile();
      return status_;
    }
    fields_.push_back(f);
  }
  headerLength_ = static_cast<uint16_t>(headerLength);
  recordLength_ = static_cast<uint16_t>(recordLength);
  buffer_.assign(static_cast<size_t>(recordLength_) + 1, ' ');
  buffer_[recordLength_] = '\0';
  status_ = 0;
  return status_;
}

// Re-reads the header. Another writer that changed the layout under us
// makes the file unreadable rather than the buffer overrun.
int TagDbf::ReadHeader() {
  if (fd_ < 0) return kNotOpen;
  uint8_t h[kHeaderSize];
  if (!ReadAt(fd_, h, sizeof h, 0)) return kShortRead;
  if (plat::Le16(h + 8) != headerLength_ || plat::Le16(h + 10) != recordLength_) return kShortRead;
  std::memcpy(header_, h, sizeof h);
  return 0;
}

int64_t TagDbf::RecordCount() {
  const int r = ReadHeader();
  if (r < 0) return r;
  return plat::Le32(header_ + 4);
}

int64_t TagDbf::ReadRecord(int64_t n) {
  const int r = ReadHeader();
  if (r < 0) return r;
  const uint64_t count = plat::Le32(header_ + 4);
  if (n < 1 || static_cast<uint64_t>(n) > count) return kNoRecord;
  const uint64_t pos = headerLength_ + static_cast<uint64_t>(recordLength_) * static_cast<uint64_t>(n - 1);
  if (!FitsOffset(pos, recordLength_)) return kSeek;
  if (!ReadAt(fd_, buffer_.data(), recordLength_, pos)) return kShortRead;
  for (size_t i = 0; i < recordLength_; ++i)
    if (buffer_[i] == '\0') buffer_[i] = ' ';
  buffer_[recordLength_] = '\0';
  return n;
}

int64_t TagDbf::WriteRecord(int64_t n) {
  const int r = ReadHeader();
  if (r < 0) return r;
  uint32_t count = plat::Le32(header_ + 4);
  // What the write may change, kept to be put back when it fails part-way
  // (a full disk): the table then stands as before, never with a torn record
  // or a header that counts one that is not there.
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return kSeek;
  uint8_t oldHeader[kHeaderSize];
  memcpy(oldHeader, header_, kHeaderSize);
  std::vector<char> oldBytes(recordLength_ + 1u);
  uint64_t oldAt = 0;
  ssize_t oldLen = 0;
  auto keep = [&](uint64_t pos, size_t len) {
    oldAt = pos;
    oldLen = ::pread(fd_, oldBytes.data(), len, static_cast<off_t>(pos));
    if (oldLen < 0) oldLen = 0;
  };
  auto fail = [&](int64_t code) {
    const int err = errno;
    while (::ftruncate(fd_, st.st_size) != 0 && errno == EINTR) {
    }
    if (oldLen > 0) (void)!::pwrite(fd_, oldBytes.data(), static_cast<size_t>(oldLen), static_cast<off_t>(oldAt));
    (void)!::pwrite(fd_, oldHeader, kHeaderSize, 0);
    memcpy(header_, oldHeader, kHeaderSize);
    errno = err;
    return code;
  };
  int64_t result;
  if (n == -1) {
    if (count == UINT32_MAX) return kNoRecord;
    const uint64_t pos = headerLength_ + static_cast<uint64_t>(recordLength_) * count;
    if (!FitsOffset(pos, recordLength_ + 1u)) return kSeek;
    ++count;
    result = count;
    buffer_[recordLength_] = 0x1A;
    keep(pos, recordLength_ + 1u);
    const bool ok = WriteAt(fd_, buffer_.data(), recordLength_ + 1u, pos);
    buffer_[recordLength_] = '\0';
    if (!ok) return fail(kShortWrite);
  } else {
    if (n < 1 || static_cast<uint64_t>(n) > count) return kNoRecord;
    const uint64_t pos = headerLength_ + static_cast<uint64_t>(recordLength_) * static_cast<uint64_t>(n - 1);
    if (!FitsOffset(pos, recordLength_)) return kSeek;
    keep(pos, recordLength_);
    if (!WriteAt(fd_, buffer_.data(), recordLength_, pos)) return fail(kShortWrite);
    result = n;
  }
  const time_t now = ::time(nullptr);
  struct tm t {};
  ::localtime_r(&now, &t);
  header_[1] = static_cast<uint8_t>(t.tm_year);
  header_[2] = static_cast<uint8_t>(t.tm_mon + 1);
  header_[3] = static_cast<uint8_t>(t.tm_mday);
  plat::PutLe32(header_ + 4, count);
  if (!WriteAt(fd_, header_, kHeaderSize, 0)) return fail(kShortWrite);
  return result;
}

int TagDbf::FieldIndex(const std::string& name) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (name == fields_[i].name) return static_cast<int>(i);
  return -1;
}

std::string TagDbf::FieldBytes(int i) const {
  const TagDbfField& f = fields_[static_cast<size_t>(i)];
  return std::string(buffer_.data() + f.offset, f.length);
}

int TagDbf::GetValue(const std::string& name, std::string& out) const {
  out.clear();
  const int i = FieldIndex(name);
  if (i < 0) return -1;
  out = FieldBytes(i);
  return i;
}

int TagDbf::SetValue(const std::string& value, const std::string& name) {
  const int i = FieldIndex(name);
  if (i < 0 || value.size() > kValueMax) return -1;
  const TagDbfField& f = fields_[static_cast<size_t>(i)];
  const size_t k = value.size() < f.length ? value.size() : f.length;
  char* p = buffer_.data() + f.offset;
  std::memset(p, ' ', f.length - k);
  std::memcpy(p + (f.length - k), value.data(), k);
  return i;
}

int TagDbf::FindColumn(const std::string& name) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (strcasecmp(fields_[i].name, name.c_str()) == 0) return static_cast<int>(i) + 1;
  return 0;
}

// --- the data set ---

TagDbfData::TagDbfData(const std::string& path) { status = Exec(path); }

TagDbfData::~TagDbfData() { Close(); }

int TagDbfData::Exec(const std::string& path) {
  Close();
  dbf_ = std::make_unique<TagDbf>();
  status = dbf_->Open(path);
  return status;
}

void TagDbfData::Close() { dbf_.reset(); }

int TagDbfData::Rows() {
  if (!IsOpen()) return -1;
  const int64_t n = dbf_->RecordCount();
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

int TagDbfData::Cols() { return IsOpen() ? dbf_->FieldCount() : -1; }

int TagDbfData::GetColName(int col, std::string& out) {
  out.clear();
  if (!IsOpen() || col < 0 || col >= dbf_->FieldCount()) return -1;
  out = dbf_->Field(col).name;
  return col;
}

int TagDbfData::GetColIndex(const std::string& name) {
  if (!IsOpen()) return -1;
  return dbf_->FindColumn(name) - 1;
}

int TagDbfData::GetValByName(std::string& out, const std::string& name, int row) {
  out.clear();
  if (!IsOpen()) return -1;
  if (dbf_->ReadRecord(row) != row) return -2;
  return dbf_->GetValue(name, out);
}

int TagDbfData::GetValByIndex(std::string& out, int col, int row) {
  out.clear();
  if (!IsOpen()) return -1;
  if (dbf_->ReadRecord(row) != row) return -2;
  if (col < 0 || col >= dbf_->FieldCount()) return -1;
  out = dbf_->FieldBytes(col);
  return col;
}

int TagDbfData::SetValByName(const std::string& value, const std::string& name, int row) {
  if (!IsOpen()) return -1;
  // From the read of the record to the header write no other writer may
  // come between, or its record or its update of another field is lost.
  TagDbf::WriteLock lock(*dbf_);
  if (row != -1) {
    if (row < 1 || dbf_->ReadRecord(row) != row) return -2;
  }
  if (dbf_->SetValue(value, name) < 0) return -1;
  const int64_t r = dbf_->WriteRecord(row);
  return r > INT_MAX ? INT_MAX : static_cast<int>(r);
}

int TagDbfData::SetValByIndex(const std::string& value, int col, int row) {
  if (!IsOpen() || col < 0 || col >= dbf_->FieldCount()) return -1;
  return SetValByName(value, dbf_->Field(col).name, row);
}
