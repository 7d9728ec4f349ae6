// The program rodiz: the host with the line manager of the cards and every
// operation family.
#include "host/gui/rodizmain.h"
#include "host/operations.h"
#include "lines/teldrive.h"

int main(int argc, char** argv) {
  RegisterLineManager();
  RegisterAllOperations();
  return RodizMain(argc, argv);
}
