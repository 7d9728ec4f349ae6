// The program rodiz: the host with the runtime's line manager and every
// operation family.
#include "host/gui/rodizmain.h"
#include "host/operations.h"
#include "host/system.h"
#include "runtime/teldrive.h"
#include "platform/heap.h"

int main(int argc, char** argv) {
  plat::KeepFreedHeap();
  SetLineManagerFactory([](const std::string& cfg, TagRunCfg* record) { return MakeTelDriveManager(cfg, record); });
  RegisterAllOperations();
  return RodizMain(argc, argv);
}
