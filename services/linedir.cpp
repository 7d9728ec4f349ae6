#include "services/linedir.h"

#include <mutex>

#include "lines/teldrive.h"

namespace {
std::mutex g_dirLock;
TagLineDirectory g_dir;
}  // namespace

int DirLineCount() {
  {
    std::lock_guard<std::mutex> lock(g_dirLock);
    if (g_dir.lineCount) return g_dir.lineCount();
  }
  TagTelDrive* drive = pTelDrive.load();
  return drive ? drive->telCount : 0;
}

std::shared_ptr<TagTelBasic> DirInstance(int line) {
  {
    std::lock_guard<std::mutex> lock(g_dirLock);
    if (g_dir.instance) return g_dir.instance(line);
  }
  TagTelDrive* drive = pTelDrive.load();
  return drive ? drive->Instance(line) : nullptr;
}

void SetLineDirectory(TagLineDirectory dir) {
  std::lock_guard<std::mutex> lock(g_dirLock);
  g_dir = std::move(dir);
}
