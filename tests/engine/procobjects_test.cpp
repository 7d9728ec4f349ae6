#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/procobjects.h"

namespace {

TEST(ProcessObjects, MadeInSlotOrderAndFreedInReverse) {
  std::vector<std::string> events;
  auto install = [&](TagProcessSlot slot, const std::string& name) {
    InstallProcessObject(
        slot, [&events, name] { events.push_back("make " + name); },
        [&events, name] { events.push_back("free " + name); });
  };
  // Installed out of order, as link order would have it.
  install(TagProcessSlot::kTextAppend, "append");
  install(TagProcessSlot::kConnectionPool, "pool");
  install(TagProcessSlot::kShareMem, "share");
  StartProcessObjects();
  StartProcessObjects();  // once only
  EXPECT_TRUE(ProcessObjectsStarted());
  install(TagProcessSlot::kAcdList, "acd");  // late: made at once
  FinishProcessObjects();
  EXPECT_FALSE(ProcessObjectsStarted());
  EXPECT_EQ(events, (std::vector<std::string>{"make pool", "make share", "make append", "make acd", "free append",
                                              "free share", "free acd", "free pool"}));
  for (auto slot : {TagProcessSlot::kTextAppend, TagProcessSlot::kConnectionPool, TagProcessSlot::kShareMem,
                    TagProcessSlot::kAcdList})
    InstallProcessObject(slot, nullptr, nullptr);
}

}  // namespace
