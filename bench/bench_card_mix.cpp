// The software card's audio under load: lines in conference groups of 2 to
// 10, every talker sending audio, one group recorded, the card pushed after
// one frame (20 ms) or ten frames (200 ms, the line threads' push period)
// of audio are due. Reports the time the card lock is held per push; the
// goal is well under 1 ms for 30 lines, growing in step with the lines.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/card/card.h"
#include "platform/card/farend.h"
#include "platform/card/mixer.h"
#include "platform/tick.h"

namespace {

// Group sizes, in order; the first n lines fill them from the front.
constexpr int kGroupSizes[] = {2, 3, 4, 5, 6, 10};

struct Rig {
  std::string dir;
  std::unique_ptr<plat::SimCard> card;
  std::unique_ptr<plat::SimCardFarEnd> far;
  std::vector<uint8_t> tone = plat::card::ToneALaw(1004, -10, 1000);
  int lines;

  explicit Rig(int n) : lines(n) {
    char tmpl[] = "/tmp/bench_mix_XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/SimCard.ini") << "[Card]\nE1Links=1\nAnalogPorts=\nConfGroups=32\nConfInterface=NEW\n";
    card = std::make_unique<plat::SimCard>(dir + "/SimCard.ini");
    card->Start("", "prompt.ini");
    card->ConfStartNew();
    far = std::make_unique<plat::SimCardFarEnd>(*card);
    int ch = 0;
    for (int g = 0; g < 6 && ch < n; ++g)
      for (int k = 0; k < kGroupSizes[g] && ch < n; ++k, ++ch) card->ConfJoin(g, 0, ch, 2, -6, 100, 1);
    card->ConfRecordFile(0, dir + "/group0.alw", 0, 1 << 30);
    Refill();
  }
  ~Rig() {
    far.reset();
    card.reset();
    std::filesystem::remove_all(dir);
  }
  // Every talker always has a second of audio queued.
  void Refill() {
    for (int ch = 0; ch < lines; ++ch) far->Feed(ch, tone);
  }
};

void BM_PushWithMixer(benchmark::State& state) {
  const int lines = static_cast<int>(state.range(0));
  const uint32_t frames = static_cast<uint32_t>(state.range(1));
  Rig rig(lines);
  uint64_t held = 0, pushes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (pushes % (1000 / (frames * plat::card::kFrameMs) + 1) == 0) rig.Refill();
    plat::SleepMs(frames * plat::card::kFrameMs);
    uint64_t before = rig.card->LockHeldNs();
    state.ResumeTiming();
    rig.card->Push();
    state.PauseTiming();
    held += rig.card->LockHeldNs() - before;
    ++pushes;
    state.ResumeTiming();
  }
  state.counters["lock_us_per_push"] = pushes ? static_cast<double>(held) / 1000.0 / static_cast<double>(pushes) : 0;
  state.counters["lock_us_per_line"] =
      pushes ? static_cast<double>(held) / 1000.0 / static_cast<double>(pushes) / lines : 0;
}

}  // namespace

BENCHMARK(BM_PushWithMixer)
    ->ArgNames({"lines", "frames"})
    ->Args({10, 1})
    ->Args({20, 1})
    ->Args({30, 1})
    ->Args({30, 10})
    ->Iterations(40)
    ->Unit(benchmark::kMicrosecond);
