#include "platform/scriptfds.h"

#include <unistd.h>

#include <map>
#include <mutex>

namespace {

struct Entry {
  int owner;
  ScriptFdKind kind;
};

// Closing happens under the lock: the number cannot be handed out again and
// recorded by another line before its entry is gone.
std::mutex& Mu() {
  static std::mutex mu;
  return mu;
}
std::map<int, Entry>& Table() {
  static std::map<int, Entry> table;
  return table;
}

}  // namespace

void ScriptFdAdd(int fd, int ownerLine, ScriptFdKind kind) {
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(Mu());
  Table()[fd] = Entry{ownerLine, kind};
}

bool ScriptFdOwned(int fd, int ownerLine, ScriptFdKind kind) {
  std::lock_guard<std::mutex> lock(Mu());
  auto it = Table().find(fd);
  return it != Table().end() && it->second.owner == ownerLine && it->second.kind == kind;
}

bool ScriptFdKnown(int fd, ScriptFdKind kind) {
  std::lock_guard<std::mutex> lock(Mu());
  auto it = Table().find(fd);
  return it != Table().end() && it->second.kind == kind;
}

bool ScriptFdCloseKnown(int fd, ScriptFdKind kind) {
  std::lock_guard<std::mutex> lock(Mu());
  auto it = Table().find(fd);
  if (it == Table().end() || it->second.kind != kind) return false;
  Table().erase(it);
  close(fd);
  return true;
}

bool ScriptFdClose(int fd, int ownerLine, ScriptFdKind kind) {
  std::lock_guard<std::mutex> lock(Mu());
  auto it = Table().find(fd);
  if (it == Table().end() || it->second.owner != ownerLine || it->second.kind != kind) return false;
  Table().erase(it);
  close(fd);
  return true;
}

int ScriptFdCloseAll(int ownerLine, ScriptFdKind kind) {
  std::lock_guard<std::mutex> lock(Mu());
  int n = 0;
  for (auto it = Table().begin(); it != Table().end();) {
    if (it->second.owner == ownerLine && it->second.kind == kind) {
      close(it->first);
      it = Table().erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

std::vector<int> ScriptFdList(int ownerLine, ScriptFdKind kind) {
  std::lock_guard<std::mutex> lock(Mu());
  std::vector<int> out;
  for (const auto& [fd, e] : Table())
    if (e.owner == ownerLine && e.kind == kind) out.push_back(fd);
  return out;
}
