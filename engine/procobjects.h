#pragma once
// The process-wide objects the operations rely on are made in one fixed order
// at start-up and finalised in the reverse order at exit, whatever order their
// code was linked in. A subsystem installs the make and free functions of its
// slot; the program calls StartProcessObjects before the first script and
// FinishProcessObjects after the last line has stopped.
#include <functional>

enum class TagProcessSlot : int {
  kConnectionPool = 0,  // database connection pool
  kAcdList,             // ACD queues
  kMessageQueues,       // the 64 process-wide message queues
  kShareMem,            // the process-wide shared values
  kCallQueues,          // the 64 queues carrying inter-line calls
  kMemVocs,             // process-wide preloaded voices
  kEnNumber,            // the English number reader
  kTextAppend,          // the text-append registry
  kGlobalDlls,          // user libraries loaded by scripts
  kCount
};

// Installs a slot's functions (replacing earlier ones). When the objects are
// already started, make runs at once.
void InstallProcessObject(TagProcessSlot slot, std::function<void()> make, std::function<void()> free);
// Makes every installed object in slot order; a second call does nothing.
void StartProcessObjects();
// Frees them in reverse slot order; StartProcessObjects may run again after.
void FinishProcessObjects();
bool ProcessObjectsStarted();
