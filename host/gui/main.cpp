// The program rodiz: the host with the line manager of the cards and every
// operation family.
#include "host/gui/rodizmain.h"
#include "host/operations.h"
#include "lines/teldrive.h"
#include "platform/heap.h"

int main(int argc, char** argv) {
  plat::KeepFreedHeap();
  RegisterLineManager();
  RegisterAllOperations();
  return RodizMain(argc, argv);
}
