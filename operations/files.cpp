// The file and directory operations: move, copy and delete files, look them
// up (wildcards allowed), list and manage directories, the working folder,
// text files through the line's numbered handles, and lines appended to
// files shared by every line. Paths go through the platform's resolution
// (backslashes, names matched without regard to case).
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "platform/path.h"
#include "services/textfiles.h"

namespace {

// The error codes scripts know from the original platform, for errno.
int ErrorCode(int e) {
  switch (e) {
    case ENOENT:
      return 2;  // file not found
    case ENOTDIR:
      return 3;  // path not found
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return 5;  // access denied
    case EBUSY:
    case ETXTBSY:
      return 32;  // sharing violation
    case EXDEV:
      return 17;  // not the same device
    case ENOSPC:
    case EDQUOT:
      return 112;  // disk full
    case ENOTEMPTY:
      return 145;  // directory not empty
    case EEXIST:
      return 183;  // already exists
    case ENAMETOOLONG:
      return 206;  // name too long
    case EINVAL:
      return 87;  // invalid parameter
    default:
      return 31;  // a device attached to the system is not functioning
  }
}

std::string Slashes(std::string s) {
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

char Fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// A Windows wildcard match without regard to ASCII case: '*' any run, '?'
// one byte. Linear backtracking over the last star.
bool WildMatch(std::string_view pat, std::string_view name) {
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pat.size() && (pat[p] == '?' || Fold(pat[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pat.size() && pat[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

struct Found {
  std::string name;
  int64_t size = 0;
  time_t mtime = 0;
};

// The entries a path names: itself, or with wildcards in its last part every
// match in its folder, ordered by name without regard to case (ties by
// bytes) so the first match does not depend on the file system's order.
std::vector<Found> Lookup(const std::string& path, bool withDirs) {
  std::string p = Slashes(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::vector<Found> out;
  const size_t slash = p.rfind('/');
  std::string dir = slash == std::string::npos ? "" : p.substr(0, slash + 1);
  const std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
  auto accept = [&](const struct stat& st) { return S_ISREG(st.st_mode) || (withDirs && S_ISDIR(st.st_mode)); };
  if (last.find_first_of("*?") == std::string::npos) {
    struct stat st {};
    const std::string real = plat::ResolvePath(p);
    if (p.empty() || ::stat(real.c_str(), &st) != 0 || !accept(st)) return out;
    const size_t s = real.rfind('/');
    out.push_back({s == std::string::npos ? real : real.substr(s + 1), int64_t(st.st_size), st.st_mtime});
    return out;
  }
  // "*.*" means every name, with or without a dot.
  std::string pat = last;
  if (pat.size() >= 3 && pat.compare(pat.size() - 3, 3, "*.*") == 0) pat.resize(pat.size() - 2);
  const std::string realDir = dir.empty() ? "." : plat::ResolvePath(dir);
  DIR* d = ::opendir(realDir.c_str());
  if (!d) return out;
  const int dfd = ::dirfd(d);
  while (dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!WildMatch(pat, name)) continue;
    struct stat st {};
    if (::fstatat(dfd, e->d_name, &st, 0) != 0 || !accept(st)) continue;
    out.push_back({std::string(name), int64_t(st.st_size), st.st_mtime});
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(), [](const Found& a, const Found& b) {
    const int c = ::strcasecmp(a.name.c_str(), b.name.c_str());
    return c != 0 ? c < 0 : a.name < b.name;
  });
  return out;
}

// Sizes past what a script's integer holds read as its largest value.
int ClampSize(int64_t size) { return size > INT32_MAX ? INT32_MAX : static_cast<int>(size); }

// Local time as the original directory search packed it: two-second steps,
// years 1980 to 2107.
std::string TimeText(time_t t) {
  tm lt{};
  localtime_r(&t, &lt);
  const int year = lt.tm_year + 1900;
  if (year < 1980) return "19800101 00:00:00";
  if (year > 2107) return "21071231 23:59:58";
  char buf[40];
  snprintf(buf, sizeof buf, "%4d%02d%02d %02d:%02d:%02d", year, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
           lt.tm_sec / 2 * 2);
  return buf;
}

// Copies a regular file over target, keeping its mode and last-write time.
// Refuses a target that is the source itself (by inode: the case fallback
// can name one file two ways), which would otherwise be emptied first.
int CopyFile(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat src {};
  if (::fstat(in, &src) != 0 || !S_ISREG(src.st_mode)) {
    const int e = S_ISDIR(src.st_mode) ? EISDIR : errno;
    ::close(in);
    return e;
  }
  struct stat dst {};
  if (::stat(to.c_str(), &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    ::close(in);
    return EEXIST;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, src.st_mode & 07777);
  if (out < 0) {
    const int e = errno;
    ::close(in);
    return e;
  }
  int err = 0;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    for (ssize_t done = 0; done < n && !err;) {
      const ssize_t w = ::write(out, buf + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        err = w < 0 ? errno : ENOSPC;
      else
        done += w;
    }
    if (err) break;
  }
  const timespec times[2] = {src.st_atim, src.st_mtim};
  ::futimens(out, times);
  if (::close(out) != 0 && !err) err = errno;
  ::close(in);
  return err;
}

TTextFileSet& Files(TagTelBasic& root) { return root.Services().Get<TTextFileSet>(); }

class TagFileMove : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const std::string src = plat::ResolvePath(ArgText(Arg(0)));
    const TagVar& target = Arg(1);
    if (target.IsString()) return Move(src, ArgText(target));
    if (!target.IsInt()) return -4;
    if (target.IntValue() == 0) return ::unlink(src.c_str()) == 0 ? 0 : ErrorCode(errno);
    if (target.IntValue() == 1) {
      const int fd = ::open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd < 0) return ErrorCode(errno);
      ::close(fd);
      return 0;
    }
    return -4;
  }

 private:
  // A name that is not there: the source itself is "file not found"; with
  // the source there, the target's folder is missing ("path not found").
  static int MoveError(int e, const std::string& src) {
    struct stat st {};
    if (e == ENOENT && ::lstat(src.c_str(), &st) == 0) return 3;
    return ErrorCode(e);
  }

  static int Move(const std::string& src, const std::string& given) {
    std::string to = plat::ResolvePath(given);
    struct stat a {
    }, b{};
    if (::stat(src.c_str(), &a) == 0 && ::stat(to.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
      // The target names the source itself (another case): a rename to
      // the case the script gave.
      const std::string slashed = Slashes(given);
      const size_t s = to.rfind('/'), g = slashed.rfind('/');
      to = (s == std::string::npos ? "" : to.substr(0, s + 1)) +
           (g == std::string::npos ? slashed : slashed.substr(g + 1));
    }
    if (::rename(src.c_str(), to.c_str()) == 0) return 0;
    if (errno != EXDEV) return MoveError(errno, src);
    // Another file system: copy, then remove the source. Folders are not
    // copied across.
    struct stat st {};
    if (::stat(src.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ErrorCode(EXDEV);
    const int err = CopyFile(src, to);
    if (err) {
      ::unlink(to.c_str());
      return MoveError(err, src);
    }
    return ::unlink(src.c_str()) == 0 ? 0 : ErrorCode(errno);
  }
};

class TagFileCopy : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    return CopyFile(plat::ResolvePath(ArgText(Arg(0))), plat::ResolvePath(ArgText(Arg(1)))) == 0 ? 0 : -4;
  }
};

class TagFileLenTime : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) return -1;
    const std::vector<Found> found = Lookup(ArgText(Arg(0)), false);
    if (found.empty()) return -2;
    Arg(1).SetInt(ClampSize(found[0].size));
    Arg(2).SetString(TimeText(found[0].mtime));
    return 0;
  }
};

class TagIsDirExist : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Arg(1).SetInt(0);
    if (!Arg(0).IsString()) return -1;
    if (Lookup(ArgText(Arg(0)), true).empty()) return -2;
    Arg(1).SetInt(1);
    return 0;
  }
};

class TagMakeDir : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) return -1;
    return ::mkdir(plat::ResolvePath(ArgText(Arg(0))).c_str(), 0777) == 0 ? 0 : -1;
  }
};

class TagRemoveDir : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) return -1;
    return ::rmdir(plat::ResolvePath(ArgText(Arg(0))).c_str()) == 0 ? 0 : -1;
  }
};

class TagGetCurWorkDir : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    char buf[1024];
    Arg(0).SetString(::getcwd(buf, sizeof buf) ? buf : "");
    return 0;
  }
};

// The working folder is the process's: every line's relative paths move
// with it.
class TagSetCurWorkDir : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const std::string path = ArgText(Arg(0));
    Log("SetCurWorkDir:" + path);
    if (!Arg(0).IsString()) return -1;
    return ::chdir(plat::ResolvePath(path).c_str()) == 0 ? 0 : -1;
  }
};

class TagGetFileList : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) return -1;
    const std::vector<Found> found = Lookup(ArgText(Arg(0)), false);
    TagVar& names = Arg(1);
    TagVar& sizes = Arg(2);
    TagVar& times = Arg(3);
    for (size_t i = 0; i < found.size(); ++i) {
      const TagVar key = TagVar::Int(static_cast<int>(i));
      if (!names.IsConst()) names.SetItem(key, TagVar::Str(found[i].name));
      if (!sizes.IsConst()) sizes.SetItem(key, TagVar::Int(ClampSize(found[i].size)));
      if (!times.IsConst()) times.SetItem(key, TagVar::Str(TimeText(found[i].mtime)));
    }
    return static_cast<int>(found.size());
  }
};

class TagFileOpen : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const int h = Files(Root()).FileOpen(ArgText(Arg(0)), ArgText(Arg(1)));
    Arg(2).SetInt(h);
    return h;
  }
};

class TagFileClose : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Files(Root()).FileClose(ArgInt(Arg(0)));
    return 0;
  }
};

class TagFileCloseAll : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Files(Root()).FileCloseAll();
    return 0;
  }
};

class TagFileRead : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const int n = ArgInt(Arg(1));
    if (n <= 0) return Files(Root()).FileRead(ArgInt(Arg(0)), Arg(2));
    return Files(Root()).FileReadSize(ArgInt(Arg(0)), n, Arg(2));
  }
};

class TagFileReadLine : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Files(Root()).FileReadLine(ArgInt(Arg(0)), Arg(1)); }
};

class TagFileReadLines : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Files(Root()).FileReadLines(ArgInt(Arg(0)), Arg(1)); }
};

class TagFileMapLines : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Files(Root()).FileMapLines(ArgInt(Arg(0)), Arg(1)); }
};

class TagFileSeek : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Files(Root()).FileSeek(ArgInt(Arg(0)), ArgInt(Arg(1))); }
};

class TagFileWrite : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Files(Root()).FileWrite(ArgInt(Arg(0)), Arg(1)); }
};

class TagTextFileAppend : public TagArgOper {
 public:
  TagTextFileAppend(std::vector<TagVar*> args, TagTelBasic* root, int telLine)
      : TagArgOper(std::move(args), root), telLine_(telLine) {}
  int Execute() override {
    return TextAppendRegistry().Append(ArgText(Arg(0)), telLine_, ArgPrinted(Arg(1)), ArgInt(Arg(2)));
  }

 private:
  int telLine_;  // the line the script runs on
};

TagOper* MakeTextFileAppend(const TagOpArgs& a) { return new TagTextFileAppend(a.args, a.root, a.lineNo); }

class TagTextFileClose : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return TextAppendRegistry().Close(ArgText(Arg(0))); }
};

}  // namespace

const TagOpTable& FileOperations() {
  static const TagOpTable entries = {
      {KeywordId::FileMove, MakeLineOper<TagFileMove>},
      {KeywordId::FileCopy, MakeLineOper<TagFileCopy>},
      {KeywordId::FileLenTime, MakeLineOper<TagFileLenTime>},
      {KeywordId::IsDirExist, MakeLineOper<TagIsDirExist>},
      {KeywordId::MakeDir, MakeLineOper<TagMakeDir>},
      {KeywordId::RemoveDir, MakeLineOper<TagRemoveDir>},
      {KeywordId::GetCurWorkDir, MakeLineOper<TagGetCurWorkDir>},
      {KeywordId::SetCurWorkDir, MakeLineOper<TagSetCurWorkDir>},
      {KeywordId::GetFileList, MakeLineOper<TagGetFileList>},
      {KeywordId::FileOpen, MakeLineOper<TagFileOpen>},
      {KeywordId::FileClose, MakeLineOper<TagFileClose>},
      {KeywordId::FileCloseAll, MakeLineOper<TagFileCloseAll>},
      {KeywordId::FileRead, MakeLineOper<TagFileRead>},
      {KeywordId::FileReadLine, MakeLineOper<TagFileReadLine>},
      {KeywordId::FileReadLines, MakeLineOper<TagFileReadLines>},
      {KeywordId::FileMapLines, MakeLineOper<TagFileMapLines>},
      {KeywordId::FileSeek, MakeLineOper<TagFileSeek>},
      {KeywordId::FileWrite, MakeLineOper<TagFileWrite>},
      {KeywordId::TextFileAppend, MakeTextFileAppend},
      {KeywordId::TextFileClose, MakeLineOper<TagTextFileClose>},
  };
  return entries;
}
