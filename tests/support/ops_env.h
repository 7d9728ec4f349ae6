#pragma once
// The program registers its operation families at start; test programs that
// compile scripts without it register theirs the same way, once, before the
// first test: one line per test program naming the families it needs.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "engine/opfactory.h"

namespace testsupport {

using OpTableFn = const TagOpTable& (*)();

class OperationsEnv : public ::testing::Environment {
 public:
  OperationsEnv(std::vector<OpTableFn> tables, void (*first)()) : tables_(std::move(tables)), first_(first) {}
  void SetUp() override {
    if (first_) first_();
    for (OpTableFn table : tables_) TagOpFactory::Instance().Register(table());
  }

 private:
  std::vector<OpTableFn> tables_;
  void (*first_)();
};

// Registers tables in this order before the first test; first (the line
// manager, say) runs before them.
inline ::testing::Environment* RegisterOperations(std::vector<OpTableFn> tables, void (*first)() = nullptr) {
  return ::testing::AddGlobalTestEnvironment(new OperationsEnv(std::move(tables), first));
}

}  // namespace testsupport
