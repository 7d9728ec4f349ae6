// The program rodiz.
#include "host/gui/rodizmain.h"

int main(int argc, char** argv) { return RodizMain(argc, argv); }
