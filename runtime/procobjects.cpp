#include "runtime/procobjects.h"

#include <mutex>

#include "lines/memvocs.h"
#include "operations/numread.h"
#include "services/acdlist.h"
#include "services/dbpool.h"
#include "services/dllbridge.h"
#include "services/msgqueue.h"
#include "services/sharemem.h"
#include "services/textfiles.h"

namespace {

std::mutex g_lock;
bool g_started = false;  // under g_lock

void ClearQueues(TagMsgList* (*queue)(int)) {
  for (int q = 0; q < kMsgQueueCount; ++q) queue(q)->Clear();
}

}  // namespace

void StartProcessObjects() {
  std::lock_guard<std::mutex> g(g_lock);
  if (g_started) return;
  g_started = true;
  MakeDbConnectionsCtrl();
  GlobalAcdList();
  GlobalMsgQueue(0);
  GlobalShareMem();
  CallQueue(0);
  GlobalMemVocs();
  EnNumber();
  TextAppendRegistry();
  TagGlobalDlls::Instance();
}

void FinishProcessObjects() {
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_started) return;
  TagGlobalDlls::Instance().Clear();
  TextAppendRegistry().CloseAll();
  // The English number reader is a constant table: nothing to free.
  GlobalMemVocs().UnloadAll();
  ClearQueues(&CallQueue);
  GlobalShareMem().Clear();
  ClearQueues(&GlobalMsgQueue);
  GlobalAcdList().Reset();
  FreeDbConnectionsCtrl();
  g_started = false;
}

bool ProcessObjectsStarted() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_started;
}
