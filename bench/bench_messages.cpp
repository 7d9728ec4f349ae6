// Messages between lines: send and receive through a queue, sorted sends
// into queues of several sizes and order columns (a queue already in order
// takes a search and an insert, not a sort), FindShareMem over 1,000 lines,
// inter-line call round trips and the cost of an idle server statement.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "bench/temp_cwd.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "engine/memkxs.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "host/operations.h"
#include "services/linedir.h"
#include "services/lineslots.h"
#include "services/msgqueue.h"
#include "services/sharemem.h"

namespace {

TagMsgFields Message(int sender, int a, int b, int c) {
  TagMsgFields m;
  m.sender = sender;
  m.key.SetString("work");
  m.SetField(0, TagVar::Int(a));
  m.SetField(1, TagVar::Int(b));
  m.SetField(2, TagVar::Str(std::to_string(c)));
  m.SetFieldCount(3);
  return m;
}

// One line sends, another receives, through one queue.
void BM_SendRecvBetweenTwoLines(benchmark::State& state) {
  msgQueueLimit = 0;
  static TagMsgList queue;
  static std::atomic<bool> stop{false};
  TagMsgFields msg = Message(state.thread_index(), 1, 2, 3);
  TagMsgFields out;
  if (state.thread_index() == 0) {
    stop = false;
    for (auto _ : state) {
      while (queue.Size() > 1000) std::this_thread::yield();
      benchmark::DoNotOptimize(queue.Send(msg));
    }
    stop = true;
  } else {
    int64_t got = 0;
    for (auto _ : state) {
      while (!queue.Recv(out) && !stop.load()) std::this_thread::yield();
      ++got;
    }
    state.SetItemsProcessed(got);
  }
  if (state.thread_index() == 0) queue.Clear();
}
BENCHMARK(BM_SendRecvBetweenTwoLines)->Threads(2)->UseRealTime();

// A sorted send into a queue of n messages (one received to keep the size).
void BM_SortedSend(benchmark::State& state) {
  msgQueueLimit = 0;
  const int n = static_cast<int>(state.range(0));
  const int cols = static_cast<int>(state.range(1));
  TagMsgList queue;
  for (int c = 0; c < cols; ++c) queue.SetMsgOrderBy(c, c % 2);
  std::mt19937 rng(7);
  for (int i = 0; i < n; ++i)
    queue.Send(Message(i, static_cast<int>(rng() % 50), static_cast<int>(rng() % 50), static_cast<int>(rng() % 50)));
  std::vector<TagMsgFields> pending;
  for (int i = 0; i < 1024; ++i)
    pending.push_back(Message(i, static_cast<int>(rng() % 50), static_cast<int>(rng() % 50), static_cast<int>(rng() % 50)));
  TagMsgFields out;
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(queue.Send(pending[k++ & 1023]));
    queue.Recv(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SortedSend)->ArgsProduct({{16, 256, 2049}, {0, 1, 3}});

// The operations of a script compiled for a line, in the current folder.
// Run mode 1 is what a line thread builds; it paces every line but line 0 by
// the process's processor use, at least 45 ms each: mode 0 builds the same
// operations without that pause, for benchmarks that set up many lines.
std::shared_ptr<TagTelBasic> Compile(const std::string& file, const std::string& text, int line, TagKxCall& call,
                                     int mode = 1) {
  static const bool registered = (RegisterAllOperations(), true);
  (void)registered;
  {
    std::ofstream f(file, std::ios::binary);
    f << text;
  }
  TagMemKxs::Instance().Clear();
  auto inst = std::make_shared<TagTelBasic>(file, line, &call, mode);
  return inst;
}

// The operation of a class whose name holds `cls` (statement texts are not
// kept unless the configuration shows them).
TagOper* FindOper(TagTelBasic& inst, const char* cls) {
  for (TagOper* op : inst.operations)
    if (std::string(typeid(*op).name()).find(cls) != std::string::npos) return op;
  return nullptr;
}

// The claim is found on the last of 1,000 lines. The lines are built
// without the load pacing (1,000 x 45 ms, again each time the benchmark
// library reruns the setup), which is not what this measures.
void BM_FindShareMem1000Lines(benchmark::State& state) {
  TempCwd cwd;
  constexpr int kLines = 1000;
  TagKxCall call;
  std::vector<std::shared_ptr<TagTelBasic>> lines;
  for (int i = 0; i < kLines; ++i)
    lines.push_back(Compile("l.kxs", "r = FindShareMem(\"state\", 0, 1)\n", i, call, 0));
  for (int i = 0; i < kLines; ++i) ShareMemOf(*lines[i]).Set(TagVar::Str("state"), TagVar::Int(i + 1 == kLines ? 0 : 2));
  SetLineDirectory({[] { return kLines; }, [&lines](int line) { return lines[static_cast<size_t>(line)]; }});
  TagOper* find = FindOper(*lines[0], "TagFindShareMem");
  TagShareMem& last = ShareMemOf(*lines.back());
  for (auto _ : state) {
    if (find->Execute() != kLines - 1) state.SkipWithError("not claimed");
    last.Set(TagVar::Str("state"), TagVar::Int(0));
  }
  SetLineDirectory({});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindShareMem1000Lines);

// Line 0 calls a function that line 1 serves, round trip by round trip.
void BM_InterLineCallRoundTrip(benchmark::State& state) {
  TempCwd cwd;
  TagKxCall callerCall, serverCall;
  auto caller = Compile("c.kxs",
                        "res = 0\nfunction f(a, b)\n{\nr = InterLineCall(5, 5, 1, res)\nreturn(r)\n}\nx = f(1, 2)\n",
                        0, callerCall);
  auto server = Compile("s.kxs", "r = InterLineServer(5)\nfunction f(a, b)\n{\nb = a + 1\nreturn(a + b)\n}\n", 1,
                        serverCall);
  SetLineDirectory({[] { return 2; }, [&](int line) { return line == 0 ? caller : line == 1 ? server : nullptr; }});
  TagTelBasic* body = caller->FindFunction("f");
  TagOper* callOp = body ? FindOper(*body, "TagInterLineCall") : nullptr;
  TagOper* serveOp = FindOper(*server, "TagInterLineServer");
  if (!callOp || !serveOp) {
    state.SkipWithError("script did not compile");
    SetLineDirectory({});
    return;
  }
  std::atomic<bool> stop{false};
  std::thread serving([&] {
    while (!stop.load())
      if (serveOp->Execute() == 0) std::this_thread::yield();
  });
  for (auto _ : state) {
    const int r = callOp->Execute();
    if (r <= 0) {
      state.SkipWithError(("call failed: " + std::to_string(r)).c_str());
      break;
    }
  }
  stop = true;
  serving.join();
  SetLineDirectory({});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InterLineCallRoundTrip)->UseRealTime();

// The statement a server line loops on, with nothing to serve.
void BM_IdleInterLineServer(benchmark::State& state) {
  TempCwd cwd;
  TagKxCall call;
  auto server = Compile("s.kxs", "r = InterLineServer(6)\n", 1, call);
  TagOper* serveOp = FindOper(*server, "TagInterLineServer");
  for (auto _ : state) benchmark::DoNotOptimize(serveOp->Execute());
}
BENCHMARK(BM_IdleInterLineServer);

}  // namespace
