// Per-line service state: made on first use, one per line, shared by the
// line's function bodies, closed before the operations go and destroyed after.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/lineservices.h"
#include "tests/engine/script_harness.h"

namespace {

std::vector<std::string> journal;

class JournalOper : public TagOper {
 public:
  ~JournalOper() override { journal.push_back("operation deleted"); }
  int Execute() override { return 0; }
};

template <int N>
struct Slot : TagLineService {
  ~Slot() override { journal.push_back("slot " + std::to_string(N) + " destroyed"); }
  void Close() override { journal.push_back("slot " + std::to_string(N) + " closed"); }
  int value = 0;
};

using LineServices = scripttest::ScriptTest;

TEST_F(LineServices, OneSlotPerLineSharedWithFunctionBodies) {
  TagTelBasic& a = Compile("function f(x)\n{\nreturn(x)\n}\nr = f(1)\nreturn(0)\n");
  ASSERT_EQ(a.initResult, 0) << Report();
  ASSERT_EQ(a.functions.size(), 1u);
  EXPECT_EQ(a.Services().Find<Slot<1>>(), nullptr);
  a.Services().Get<Slot<1>>().value = 7;
  EXPECT_EQ(a.functions[0]->Services().Get<Slot<1>>().value, 7);
  EXPECT_EQ(&a.functions[0]->Services(), &a.Services());
  EXPECT_EQ(a.Services().Find<Slot<2>>(), nullptr);

  TagKxCall other;
  TagTelBasic b("t.kxs", 1, &other, 1);
  EXPECT_EQ(b.Services().Find<Slot<1>>(), nullptr);
  EXPECT_EQ(b.Services().Get<Slot<1>>().value, 0);
}

TEST_F(LineServices, ClosedBeforeTheOperationsAndDestroyedAfterInReverseOrder) {
  journal.clear();
  {
    TagTelBasic inst("none.kxs", 0, call_.get(), 0);
    inst.operations.push_back(new JournalOper);
    inst.Services().Get<Slot<1>>();
    inst.Services().Get<Slot<2>>();
  }
  EXPECT_EQ(journal, (std::vector<std::string>{"slot 1 closed", "slot 2 closed", "operation deleted",
                                               "slot 2 destroyed", "slot 1 destroyed"}));
}

}  // namespace
