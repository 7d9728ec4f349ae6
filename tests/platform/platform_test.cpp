#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>

#include <malloc.h>

#include <vector>

#include "platform/heap.h"
#include "platform/instance.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// Freeing a script's worth of small blocks leaves the heap with the
// process: the next build reuses it instead of faulting fresh pages in.
TEST(Heap, FreedMemoryStaysWithTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers bring their own allocator";
#else
  ASSERT_TRUE(plat::KeepFreedHeap());
  constexpr size_t kBlock = 16 << 10, kTotal = 64 << 20;
  std::vector<char*> blocks;
  for (size_t n = 0; n < kTotal; n += kBlock) {
    blocks.push_back(static_cast<char*>(std::malloc(kBlock)));
    blocks.back()[0] = 1;
  }
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) std::free(*it);
  EXPECT_GE(mallinfo2().arena, kTotal);
#endif
}

TEST(Tick, AdvancesWithSleep) {
  uint32_t a = plat::TickCount();
  plat::SleepMs(30);
  uint32_t b = plat::TickCount();
  EXPECT_GE(static_cast<uint32_t>(b - a), 25u);
}

// The coarse reading is the same clock, never ahead of the exact one.
TEST(Tick, CoarseFollowsTheSameClock) {
  for (int i = 0; i < 50; ++i) {
    uint32_t coarse = plat::CoarseTickCount();
    uint32_t exact = plat::TickCount();
    EXPECT_LE(static_cast<int32_t>(coarse - exact), 0);
    EXPECT_LT(static_cast<int32_t>(exact - coarse), 1000);
    plat::SleepMs(1);
  }
}

// The shared tick moves on by itself while held, never runs ahead of the
// clock, rests when released and is fresh again when the next hold begins.
TEST(Tick, SharedTickFollowsTheClockWhileHeld) {
  const std::atomic<uint32_t>& word = plat::SharedTickWord();
  plat::HoldSharedTick();
  const uint32_t first = word.load();
  EXPECT_TRUE(testsupport::WaitFor([&] { return static_cast<int32_t>(word.load() - first) >= 20; }));
  for (int i = 0; i < 20; ++i) {
    const uint32_t shared = word.load();
    const uint32_t exact = plat::TickCount();
    EXPECT_LE(static_cast<int32_t>(shared - exact), 0);
    EXPECT_LT(static_cast<int32_t>(exact - shared), 1000);
    plat::SleepMs(1);
  }
  plat::ReleaseSharedTick();
  EXPECT_TRUE(testsupport::WaitFor([&] {
    const uint32_t before = word.load();
    plat::SleepMs(30);
    return word.load() == before;
  }));
  plat::SleepMs(300);
  plat::HoldSharedTick();
  EXPECT_LT(static_cast<int32_t>(plat::TickCount() - word.load()), 200);
  plat::ReleaseSharedTick();
}

TEST(Thread, RunsWithRequestedStackAndJoins) {
  plat::Thread t;
  std::atomic<size_t> stack{0};
  ASSERT_TRUE(t.Start([&] {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    stack = size;
  }));
  EXPECT_TRUE(t.Joinable());
  t.Join();
  EXPECT_FALSE(t.Joinable());
  EXPECT_GE(stack.load(), plat::Thread::kLineStack);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizer builds ask for four times the size, and glibc may then hand out
  // a cached default-size stack left by an earlier thread of the process.
  EXPECT_LT(stack.load(), 8u * plat::Thread::kLineStack);
#endif
}

TEST(Thread, DestructorJoins) {
  std::atomic<bool> done{false};
  {
    plat::Thread t;
    t.Start([&] {
      plat::SleepMs(20);
      done = true;
    });
  }
  EXPECT_TRUE(done.load());
}

TEST(Path, BackslashesAndCaseInsensitiveComponents) {
  TempDir dir;
  std::filesystem::create_directories(dir / "Voc/Chinese");
  WriteFile(dir / "Voc/Chinese/Welcome.WAV", "x");
  struct Case {
    std::string in, out;
  } cases[] = {
      {dir.path() + "\\Voc\\Chinese\\Welcome.WAV", dir.path() + "/Voc/Chinese/Welcome.WAV"},
      {dir.path() + "\\voc\\CHINESE\\welcome.wav", dir.path() + "/Voc/Chinese/Welcome.WAV"},
      // A missing last component keeps its case: files are created as named.
      {dir.path() + "\\VOC\\chinese\\New.wav", dir.path() + "/Voc/Chinese/New.wav"},
      {dir.path() + "/nothing/Here.txt", dir.path() + "/nothing/Here.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::ResolvePath(c.in), c.out) << c.in;

  testsupport::ScopedCwd cwd(dir.path());
  EXPECT_EQ(plat::ResolvePath("voc\\chinese\\WELCOME.wav"), "Voc/Chinese/Welcome.WAV");
  FILE* f = plat::OpenFile("VOC\\Chinese\\welcome.wav", "rb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
}

TEST(Path, ProgramDirKeepsLinks) {
  EXPECT_EQ(plat::ProgramDir("/opt/inst/rodiz"), "/opt/inst/");
  std::string rel = plat::ProgramDir("inst/rodiz");
  EXPECT_EQ(rel, std::filesystem::current_path().string() + "/inst/");
}

TEST(Text, GbkRoundTripAndLiteralHelper) {
  const std::string& gb = GBK("出错了");
  EXPECT_EQ(gb, std::string("\xB3\xF6\xB4\xED\xC1\xCB"));
  EXPECT_EQ(plat::GbkToUtf8(gb), "出错了");
  // Broken input never throws or stops the conversion.
  EXPECT_EQ(plat::GbkToUtf8(std::string("a\xB3", 2)), "a?");
  std::string out;
  EXPECT_FALSE(plat::ConvertCodePage("x", "NO-SUCH-CODEPAGE", "UTF-8", out));
}

TEST(MessageBox, HeadlessRecordsAndReturnsAtOnce) {
  TempDir dir;
  std::string rec = dir / "boxes.txt";
  setenv("RODIZ_BOX_RECORD", rec.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::vector<std::string> diags;
  plat::SetDiagSink([&](const std::string& t) { diags.push_back(t); });
  EXPECT_EQ(plat::MessageBox("Corvane System", "Lines number is 0"), plat::kIdOk);
  EXPECT_EQ(plat::MessageBox(GBK("出错了"), "x", plat::kBoxYesNo), plat::kIdNo);
  plat::SetDiagSink(nullptr);
  unsetenv("RODIZ_BOX_RECORD");
  EXPECT_EQ(ReadFile(rec), "Corvane System: Lines number is 0\n出错了: x\n");
  ASSERT_EQ(diags.size(), 2u);
  EXPECT_EQ(diags[0], "Corvane System: Lines number is 0");
}

TEST(MessageBox, HandlerUsedOnlyWithAScreen) {
  int calls = 0;
  plat::SetBoxHandler([&](const std::string&, const std::string&, int, const std::function<bool()>&) {
    ++calls;
    return plat::kIdCancel;
  });
  plat::SetDiagSink([](const std::string&) {});
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  EXPECT_EQ(plat::MessageBox("t", "x"), plat::kIdOk);
  EXPECT_EQ(calls, 0);
  unsetenv("QT_QPA_PLATFORM");
  setenv("DISPLAY", ":99", 1);
  EXPECT_EQ(plat::MessageBox("t", "x"), plat::kIdCancel);
  plat::SetBoxesQuiet(true);
  EXPECT_EQ(plat::MessageBox("t", "x"), plat::kIdOk);
  plat::SetBoxesQuiet(false);
  EXPECT_EQ(calls, 1);
  plat::SetBoxHandler(nullptr);
  plat::SetDiagSink(nullptr);
  unsetenv("DISPLAY");
}

TEST(ShellOpen, HeadlessOnlyRecords) {
  TempDir dir;
  std::string rec = dir / "open.txt";
  setenv("RODIZ_SHELL_RECORD", rec.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  plat::SetDiagSink([](const std::string&) {});
  plat::ShellOpen("errmsg3.txt");
  plat::SetDiagSink(nullptr);
  unsetenv("RODIZ_SHELL_RECORD");
  EXPECT_EQ(ReadFile(rec), "errmsg3.txt\n");
}

class KernelObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    setenv("RODIZ_KOBJ_SUFFIX", ("t" + std::to_string(getpid())).c_str(), 1);
  }
  void TearDown() override { unsetenv("RODIZ_KOBJ_SUFFIX"); }
  TempDir dir_;
};

TEST_F(KernelObjects, InstanceLockIsExclusiveAndFreedOnRelease) {
  plat::InstanceLock a("RoDiz from Corvane");
  plat::InstanceLock b("RoDiz from Corvane");
  ASSERT_TRUE(a.Acquire());
  EXPECT_FALSE(b.Acquire());
  a.Release();
  EXPECT_TRUE(b.Acquire());
  EXPECT_EQ(b.Path().rfind(dir_.path(), 0), 0u);
}

TEST_F(KernelObjects, InstanceLockIsHeldAcrossProcessesAndFreedWhenOwnerDies) {
  plat::InstanceLock mine("RoDiz from Corvane");
  ASSERT_TRUE(mine.Acquire());
  pid_t pid = fork();
  if (pid == 0) {
    plat::InstanceLock other("RoDiz from Corvane");
    _exit(other.Acquire() ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a second process took the lock";
  mine.Release();
}

TEST_F(KernelObjects, EventsOpenOnlyWhenCreatedAndAutoReset) {
  plat::NamedEvent opener;
  EXPECT_FALSE(opener.Open("RuzuRav Quit"));
  plat::NamedEvent show;
  ASSERT_TRUE(show.Create("RoDiz Show"));
  EXPECT_FALSE(show.TryWait());
  ASSERT_TRUE(opener.Open("RoDiz Show"));
  opener.Set();
  opener.Set();  // setting a set event changes nothing
  EXPECT_TRUE(show.TryWait());
  EXPECT_FALSE(show.TryWait());
  show.Close();
  plat::NamedEvent late;
  EXPECT_FALSE(late.Open("RoDiz Show"));
}
