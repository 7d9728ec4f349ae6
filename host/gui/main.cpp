// The program rodiz: the host with the line manager of the cards.
#include "host/gui/rodizmain.h"
#include "lines/teldrive.h"

int main(int argc, char** argv) {
  RegisterLineManager();
  return RodizMain(argc, argv);
}
