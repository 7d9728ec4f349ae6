#include "platform/path.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/faults.h"

namespace plat {

namespace {

bool Exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

// Finds an entry of dir equal to name without regard to ASCII case.
bool MatchInDir(const std::string& dir, const std::string& name, std::string& found) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (dirent* e = ::readdir(d)) {
    if (::strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(d);
  return ok;
}

}  // namespace

std::string ResolvePath(const std::string& name) {
  std::string p = name;
  for (char& c : p)
    if (c == '\\') c = '/';
  if (p.empty() || Exists(p)) return p;

  // Walk component by component from the first one that is missing.
  std::vector<std::string> parts;
  std::string prefix = p[0] == '/' ? "/" : "";
  size_t i = prefix.size();
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    parts.push_back(p.substr(i, j - i));
    i = j + 1;
  }
  std::string cur = prefix;
  for (size_t k = 0; k < parts.size(); ++k) {
    const std::string& part = parts[k];
    std::string next;
    if (part.empty() || part == "." || part == "..") {
      next = part;
    } else {
      std::string candidate = cur + part;
      if (Exists(candidate)) {
        next = part;
      } else {
        std::string found;
        std::string dir = cur.empty() ? "." : cur;
        next = MatchInDir(dir, part, found) ? found : part;
      }
    }
    cur += next;
    if (k + 1 < parts.size()) cur += '/';
  }
  return cur;
}

FILE* OpenFile(const std::string& name, const char* mode) {
  std::string p = ResolvePath(name);
  if (faults::Hit(faults::Op::kOpen)) return nullptr;
  FILE* f = std::fopen(p.c_str(), mode);
  if (f) {
    int fd = ::fileno(f);
    // Programs started by scripts must not inherit the system's files.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return f;
}

bool FileExists(const std::string& name) { return Exists(ResolvePath(name)); }

std::string ProgramDir(const char* argv0) {
  std::string path;
  if (argv0 && std::string(argv0).find('/') != std::string::npos) {
    path = argv0;
  } else {
    // Started through PATH: the kernel's view of the executable.
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) path.assign(buf, static_cast<size_t>(n));
  }
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  std::string dir = path.substr(0, slash + 1);
  if (dir[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd)) dir = std::string(cwd) + "/" + dir;
  }
  return dir;
}

}  // namespace plat
