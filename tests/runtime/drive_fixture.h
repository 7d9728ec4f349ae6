#pragma once
// A line manager in a temporary installation, with script instances whose
// operation lists the test builds by hand (the compile of the script file
// fails, so the factory resets the result and appends the operations).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/oper.h"
#include "engine/telbasic.h"
#include "core/cpumeter.h"
#include "core/log.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "runtime/teldrive.h"
#include "tests/engine/handops.h"
#include "platform/tick.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace linetest {

using handops::FnOper;

inline void AppendOp(TagTelBasic& inst, std::function<int()> fn, OpKind kind = kOpOperation) {
  handops::Append(inst, new FnOper(std::move(fn), kind));
}

// Waits for cond with a generous time-out.
using testsupport::WaitFor;

// A call object of a card line of the given type.
class CardCall : public TagKxCall {
 public:
  CardCall(int line, uint8_t type) {
    lineNo = line;
    lineType = type;
  }
};

// A physical card whose lines have the given types.
class FakePhysicalCard : public TagKxCard {
 public:
  explicit FakePhysicalCard(std::vector<uint8_t> types) : types_(std::move(types)) {
    telCount = static_cast<int>(types_.size());
  }
  int GetLineName(int index, std::string& name) override {
    if (index < 0 || index >= telCount) return -1;
    name = "Port" + std::to_string(index);
    return 0;
  }
  TagTelLine* MakeLine(int index, int lineNumber) override {
    if (index < 0 || index >= telCount) return nullptr;
    auto* line = new TagTelLine(lineNumber, this);
    GetLineName(index, line->name);
    line->call = new CardCall(lineNumber, types_[static_cast<size_t>(index)]);
    return line;
  }

 private:
  std::vector<uint8_t> types_;
};

inline std::function<std::unique_ptr<TagKxCard>()> PhysicalCardOf(std::vector<uint8_t> types) {
  return [types] { return std::make_unique<FakePhysicalCard>(types); };
}

// The operations a built instance gets: (instance, line).
using ScriptBuilder = std::function<void(TagTelBasic&, int)>;

// A script that waits until its line is interrupted, then lets the run loop
// decide (quit, reload or go round again).
inline ScriptBuilder WaitingScript(std::atomic<int>* runs = nullptr) {
  return [runs](TagTelBasic& inst, int) {
    TagKxCall* call = inst.callObject;
    AppendOp(inst, [call, runs] {
      if (runs) ++*runs;
      // Waits poll their call object, as every waiting operation does.
      while (!call->interrupted.load()) {
        call->PollState();
        plat::SleepMs(5);
      }
      return 0;
    });
  };
}

class DriveFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    savedLevel_ = logLevel.load();
    logLevel = 1;
    SetLogWriter(std::make_shared<TagWriteLog>(dir_ / "msg_log.txt", 50000000, true, true));
    CpuMeter().SetOverride([] { return 0; });
    ::setenv("RODIZ_BOX_RECORD", (dir_ / "boxes.txt").c_str(), 1);
    isCloseing = true;
  }
  void TearDown() override {
    drive_.reset();
    SetMonitor(nullptr);
    SetLogWriter(nullptr);
    ::unsetenv("RODIZ_BOX_RECORD");
    CpuMeter().SetOverride({});
    logLevel = savedLevel_;
    isCloseing = false;
    cwd_.reset();
  }

  // The hooks: instances from builder_, counted per line.
  TagTelDriveHooks Hooks() {
    TagTelDriveHooks h;
    h.makeInstance = [this](const std::string& script, int line, TagKxCall* call) {
      auto inst = std::make_shared<TagTelBasic>(script, line, call, 0);
      inst->initResult = 0;
      {
        std::lock_guard<std::mutex> g(buildsLock_);
        ++builds_[line];
        scripts_[line] = script;
      }
      if (builder_) builder_(*inst, line);
      return inst;
    };
    h.makePhysicalCard = physicalCard_;
    return h;
  }

  // Writes RoDizRun.cfg and makes the manager from it.
  TagTelDrive& MakeDrive(const std::string& cfgText, bool withHooks = true) {
    testsupport::WriteFile(dir_ / "RoDizRun.cfg", cfgText);
    drive_ = std::make_unique<TagTelDrive>("RoDizRun.cfg", &cfg_, withHooks ? Hooks() : TagTelDriveHooks{});
    logLevel = 1;  // the configuration may have set it
    return *drive_;
  }

  int Builds(int line) {
    std::lock_guard<std::mutex> g(buildsLock_);
    return builds_[line];
  }
  std::string BuiltScript(int line) {
    std::lock_guard<std::mutex> g(buildsLock_);
    return scripts_[line];
  }
  std::string Log() {
    if (auto w = GetLogWriter()) w->Flush();
    return testsupport::ReadFile(dir_ / "msg_log.txt");
  }
  std::string Boxes() { return testsupport::ReadFile(dir_ / "boxes.txt"); }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  TagRunCfg cfg_;
  std::unique_ptr<TagTelDrive> drive_;
  ScriptBuilder builder_;
  std::function<std::unique_ptr<TagKxCard>()> physicalCard_;
  std::mutex buildsLock_;
  std::map<int, int> builds_;
  std::map<int, std::string> scripts_;
  int savedLevel_ = 0;
};

}  // namespace linetest
