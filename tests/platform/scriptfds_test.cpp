// The registry of descriptors that scripts open.
#include "platform/scriptfds.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

TEST(ScriptFds, OnlyTheOwnerAndKindReachADescriptor) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  constexpr int kLine = 901;
  ScriptFdAdd(fds[0], kLine, ScriptFdKind::kTcp);
  struct Case {
    const char* name;
    int line;
    ScriptFdKind kind;
  };
  for (const Case& c : {Case{"another line", kLine + 1, ScriptFdKind::kTcp},
                        Case{"another kind", kLine, ScriptFdKind::kUdp},
                        Case{"another kind again", kLine, ScriptFdKind::kHttp}}) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ScriptFdOwned(fds[0], c.line, c.kind));
    EXPECT_FALSE(ScriptFdClose(fds[0], c.line, c.kind));
    EXPECT_TRUE(IsOpen(fds[0]));
  }
  EXPECT_FALSE(ScriptFdClose(fds[1], kLine, ScriptFdKind::kTcp)) << "never recorded";
  EXPECT_TRUE(IsOpen(fds[1]));
  EXPECT_TRUE(ScriptFdOwned(fds[0], kLine, ScriptFdKind::kTcp));
  EXPECT_TRUE(ScriptFdClose(fds[0], kLine, ScriptFdKind::kTcp));
  EXPECT_FALSE(IsOpen(fds[0]));
  EXPECT_FALSE(ScriptFdClose(fds[0], kLine, ScriptFdKind::kTcp)) << "a second close finds nothing";
  close(fds[1]);
}

// Any line may use and close what a script opened: the kind still has to
// match, and a descriptor never recorded stays out of reach.
TEST(ScriptFds, AnyLineReachesARecordedDescriptorOfItsKind) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  constexpr int kLine = 903;
  ScriptFdAdd(fds[0], kLine, ScriptFdKind::kUdp);
  EXPECT_TRUE(ScriptFdKnown(fds[0], ScriptFdKind::kUdp));
  EXPECT_FALSE(ScriptFdKnown(fds[0], ScriptFdKind::kTcp));
  EXPECT_FALSE(ScriptFdKnown(fds[1], ScriptFdKind::kUdp)) << "never recorded";
  EXPECT_FALSE(ScriptFdCloseKnown(fds[0], ScriptFdKind::kHttp));
  EXPECT_FALSE(ScriptFdCloseKnown(fds[1], ScriptFdKind::kUdp));
  EXPECT_TRUE(IsOpen(fds[0]));
  EXPECT_TRUE(IsOpen(fds[1]));
  EXPECT_TRUE(ScriptFdCloseKnown(fds[0], ScriptFdKind::kUdp));
  EXPECT_FALSE(IsOpen(fds[0]));
  EXPECT_FALSE(ScriptFdOwned(fds[0], kLine, ScriptFdKind::kUdp)) << "forgotten for its owner too";
  EXPECT_FALSE(ScriptFdCloseKnown(fds[0], ScriptFdKind::kUdp)) << "a second close finds nothing";
  close(fds[1]);
}

TEST(ScriptFds, CloseAllTakesOnlyThatLinesKind) {
  constexpr int kLine = 902;
  int a[2], b[2];
  ASSERT_EQ(pipe(a), 0);
  ASSERT_EQ(pipe(b), 0);
  ScriptFdAdd(a[0], kLine, ScriptFdKind::kTcp);
  ScriptFdAdd(a[1], kLine, ScriptFdKind::kTcp);
  ScriptFdAdd(b[0], kLine, ScriptFdKind::kUdp);
  ScriptFdAdd(b[1], kLine + 1, ScriptFdKind::kTcp);
  EXPECT_EQ(ScriptFdList(kLine, ScriptFdKind::kTcp), (std::vector<int>{a[0], a[1]}));
  EXPECT_EQ(ScriptFdCloseAll(kLine, ScriptFdKind::kTcp), 2);
  EXPECT_FALSE(IsOpen(a[0]));
  EXPECT_FALSE(IsOpen(a[1]));
  EXPECT_TRUE(IsOpen(b[0]));
  EXPECT_TRUE(IsOpen(b[1]));
  EXPECT_TRUE(ScriptFdList(kLine, ScriptFdKind::kTcp).empty());
  EXPECT_TRUE(ScriptFdClose(b[0], kLine, ScriptFdKind::kUdp));
  EXPECT_TRUE(ScriptFdClose(b[1], kLine + 1, ScriptFdKind::kTcp));
}

}  // namespace
