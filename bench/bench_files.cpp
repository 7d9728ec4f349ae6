// Text files and directories at volume: appends of eight threads to one
// file and to eight files, listing a folder of 10,000 files, reading
// 100,000 lines into a map, and the idle scan that follows every append.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/keyword.h"
#include "engine/oper.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"
#include "host/operations.h"
#include "services/textfiles.h"

namespace {

// A folder of the benchmark's own, removed at exit.
class Scratch {
 public:
  Scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "rodiz-bench-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string("/tmp");
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Scratch& Dir() {
  static Scratch dir;
  return dir;
}

std::unique_ptr<TagOper> Make(KeywordId id, std::vector<TagVar*> args) {
  static const bool registered = (RegisterAllOperations(), true);
  (void)registered;
  const RecKeyword& kw = KeywordRec(id);
  return std::unique_ptr<TagOper>(TagOpFactory::Instance().Make(TagOpArgs{kw, args, nullptr, nullptr, 0, 0}));
}

TTxtAppend& Registry() {
  static TTxtAppend registry;
  return registry;
}

const std::string kLine = "a line of about the length a script logs, with a number or two: 12345 67890";

// Eight lines appending time-stamped lines to one shared file.
void BM_AppendOneFile(benchmark::State& state) {
  const std::string name = Dir() / "one.log";
  for (auto _ : state) benchmark::DoNotOptimize(Registry().Append(name, state.thread_index(), kLine, 3));
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) Registry().Close(name);
}
BENCHMARK(BM_AppendOneFile)->Threads(8)->UseRealTime();

// Eight lines each appending to a file of its own.
void BM_AppendEightFiles(benchmark::State& state) {
  const std::string name = Dir() / ("own" + std::to_string(state.thread_index()) + ".log");
  for (auto _ : state) benchmark::DoNotOptimize(Registry().Append(name, state.thread_index(), kLine, 3));
  state.SetItemsProcessed(state.iterations());
  Registry().Close(name);
}
BENCHMARK(BM_AppendEightFiles)->Threads(8)->UseRealTime();

// Names, sizes and times of 10,000 files matching a pattern.
void BM_GetFileList(benchmark::State& state) {
  const std::string folder = Dir() / "list";
  if (!std::filesystem::exists(folder)) {
    std::filesystem::create_directory(folder);
    for (int i = 0; i < 10000; ++i) {
      const int fd = ::open((folder + "/File" + std::to_string(i) + ".wav").c_str(), O_WRONLY | O_CREAT, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
  TagVar pattern = TagVar::Str(folder + "\\*.WAV"), names, sizes, times;
  auto op = Make(KeywordId::GetFileList, {&pattern, &names, &sizes, &times});
  for (auto _ : state) {
    names.SetInt(0);
    sizes.SetInt(0);
    times.SetInt(0);
    if (op->Execute() != 10000) state.SkipWithError("not every file listed");
  }
  names.SetInt(0);
  sizes.SetInt(0);
  times.SetInt(0);
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_GetFileList)->Unit(benchmark::kMillisecond);

// 100,000 lines of a file into a map.
void BM_FileReadLines(benchmark::State& state) {
  const std::string file = Dir() / "lines.txt";
  if (!std::filesystem::exists(file)) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += "line " + std::to_string(i) + " of the file with some text\r\n";
    FILE* f = fopen(file.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  TTextFileSet files;
  TagVar lines;
  for (auto _ : state) {
    lines.SetInt(0);
    const int h = files.FileOpen(file, "r");
    if (files.FileReadLines(h, lines) != 100000) state.SkipWithError("not every line read");
    files.FileClose(h);
  }
  lines.SetInt(0);
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_FileReadLines)->Unit(benchmark::kMillisecond);

// The scan after every append over n registered files, none idle: linear
// in n. The records name a missing folder, so no descriptors are held.
void BM_CloseIdleScan(benchmark::State& state) {
  std::atomic<int64_t> now{0};
  TTxtAppend registry([&now] { return now.load(); });
  for (int64_t i = 0; i < state.range(0); ++i) registry.Append(Dir() / ("missing/f" + std::to_string(i)), 0, "x", 1);
  for (auto _ : state) benchmark::DoNotOptimize(registry.CloseIdle());
  if (registry.Count() != size_t(state.range(0))) state.SkipWithError("a record was closed");
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_CloseIdleScan)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);

}  // namespace
