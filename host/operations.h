#pragma once
// The composition root of the script language: every operation family of the
// program registers its keywords here, once, before the first compile.
#include <vector>

#include "engine/opfactory.h"

struct TagOpFamily {
  const char* name;
  const TagOpTable& (*table)();
};

// Every family the program has, in registration order.
const std::vector<TagOpFamily>& OperationFamilies();

// Registers every family's table with the process-wide factory. Calling it
// again registers the same makers again.
void RegisterAllOperations();
