#include "services/linedir.h"

#include <mutex>

namespace {
std::mutex g_dirLock;
TagLineDirectory g_dir;
}  // namespace

int DirLineCount() {
  std::lock_guard<std::mutex> lock(g_dirLock);
  return g_dir.lineCount ? g_dir.lineCount() : 0;
}

std::shared_ptr<TagTelBasic> DirInstance(int line) {
  std::lock_guard<std::mutex> lock(g_dirLock);
  return g_dir.instance ? g_dir.instance(line) : nullptr;
}

void SetLineDirectory(TagLineDirectory dir) {
  std::lock_guard<std::mutex> lock(g_dirLock);
  g_dir = std::move(dir);
}
