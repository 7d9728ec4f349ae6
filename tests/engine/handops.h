#pragma once
// Hand-built operation lists for the run-time tests: operations made of
// lambdas on a script instance whose (missing) script file compiled nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "engine/oper.h"
#include "engine/telbasic.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace handops {

class FnOper : public TagOper {
 public:
  explicit FnOper(std::function<int()> fn, OpKind k = kOpOperation) : fn_(std::move(fn)) { kind = k; }
  int Execute() override { return fn_(); }

 private:
  std::function<int()> fn_;
};

class PlainCall : public TagKxCall {};

// Appends op to inst's list with its index, linked after the last one.
inline TagOper* Append(TagTelBasic& inst, TagOper* op, const std::string& text = "") {
  op->index = static_cast<int>(inst.operations.size());
  op->text = text;
  if (!inst.operations.empty()) inst.operations.back()->next = op;
  inst.AppendOperation(op);
  return op;
}

using testsupport::WaitFor;

class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    SetLogWriter(std::make_shared<TagWriteLog>(dir_ / "log.txt", 1 << 24, true, true));
    inst_ = MakeInstance(0);
  }
  void TearDown() override {
    inst_.reset();
    SetLogWriter(nullptr);
    cwd_.reset();
  }
  std::unique_ptr<TagTelBasic> MakeInstance(int line, TagTelBasic* outer = nullptr) {
    auto inst = std::make_unique<TagTelBasic>("none.kxs", line, &call_, 0, outer);
    inst->initResult = 0;
    return inst;
  }
  FnOper* Add(std::function<int()> fn, OpKind k = kOpOperation) {
    return static_cast<FnOper*>(Append(*inst_, new FnOper(std::move(fn), k)));
  }
  TagVar* Var(TagTelBasic& inst, const std::string& name) {
    auto v = std::make_unique<TagVar>();
    v->SetName(name);
    return inst.AddVariable(std::move(v));
  }
  std::string LogText() { return testsupport::ReadFile(dir_ / "log.txt"); }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  PlainCall call_;
  std::unique_ptr<TagTelBasic> inst_;
};

}  // namespace handops
