// dBASE tables through the script operations: a scan of 10,000 records x 5
// fields cell by cell with "DbGetField(" and whole with "DbExecMap(", and
// appends per second with the per-file write lock taken for each.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/keyword.h"
#include "engine/kxcall.h"
#include "engine/opfactory.h"
#include "engine/oper.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "host/operations.h"
#include "services/dbf.h"

namespace {

constexpr int kRecords = 10000, kFields = 5, kWidth = 10;

std::string TempPath(const char* name) {
  // The line's own files (its compile report) go there too; removed at exit.
  static char tmpl[] = "/tmp/rodiz-bench-dbf-XXXXXX";
  static const std::string dir = [] {
    std::string d = ::mkdtemp(tmpl);
    if (::chdir(d.c_str()) != 0) std::abort();
    std::atexit([] { std::filesystem::remove_all(tmpl); });
    return d;
  }();
  return dir + "/" + name;
}

// A table of `records` records with five text fields F0..F4.
std::string MakeTable(int records) {
  const int recordLength = 1 + kFields * kWidth;
  const int headerLength = 32 + 32 * kFields + 1;
  std::string s(32, '\0');
  s[0] = 3;
  for (int i = 0; i < 4; ++i) s[4 + i] = static_cast<char>(records >> (8 * i));
  s[8] = static_cast<char>(headerLength & 0xFF);
  s[9] = static_cast<char>(headerLength >> 8);
  s[10] = static_cast<char>(recordLength);
  for (int f = 0; f < kFields; ++f) {
    std::string d(32, '\0');
    d[0] = 'F';
    d[1] = static_cast<char>('0' + f);
    d[11] = 'C';
    d[16] = kWidth;
    s += d;
  }
  s += '\r';
  char cell[16];
  for (int r = 0; r < records; ++r) {
    s += ' ';
    for (int f = 0; f < kFields; ++f) {
      std::snprintf(cell, sizeof cell, "%*d", kWidth, r * kFields + f);
      s += cell;
    }
  }
  s += '\x1A';
  const std::string path = TempPath(records ? "scan.dbf" : "append.dbf");
  std::ofstream(path, std::ios::binary) << s;
  return path;
}

struct Line {
  Line() {
    static const bool registered = (RegisterAllOperations(), true);
    (void)registered;
    inst = std::make_unique<TagTelBasic>("none.kxs", 0, &call, 0);
    inst->initResult = 0;
  }
  std::unique_ptr<TagOper> Make(KeywordId id, std::vector<TagVar*> args) {
    const RecKeyword& kw = KeywordRec(id);
    return std::unique_ptr<TagOper>(TagOpFactory::Instance().Make(TagOpArgs{kw, args, inst.get(), inst.get(), 0, 0}));
  }
  TagKxCall call;
  std::unique_ptr<TagTelBasic> inst;
};

int Open(Line& line, const std::string& path) {
  TagVar type = TagVar::Int(0), a = TagVar::Str(path), e = TagVar::Str(""), h;
  line.Make(KeywordId::DbOpen, {&type, &a, &e, &e, &e, &h})->Execute();
  return h.AsInt();
}

void BM_DbGetFieldScan(benchmark::State& state) {
  const std::string path = MakeTable(kRecords);
  Line line;
  TagVar h = TagVar::Int(Open(line, path)), col, row, out;
  auto op = line.Make(KeywordId::DbGetField, {&h, &col, &row, &out});
  const TagVar names[kFields] = {TagVar::Str("F0"), TagVar::Str("F1"), TagVar::Str("F2"), TagVar::Str("F3"),
                                 TagVar::Str("F4")};
  for (auto _ : state) {
    for (int r = 1; r <= kRecords; ++r) {
      row.SetInt(r);
      for (int f = 0; f < kFields; ++f) {
        col.Assign(names[f]);
        benchmark::DoNotOptimize(op->Execute());
      }
    }
  }
  state.counters["cells/s"] =
      benchmark::Counter(double(state.iterations()) * kRecords * kFields, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DbGetFieldScan)->Unit(benchmark::kMillisecond);

void BM_DbExecMapScan(benchmark::State& state) {
  const std::string path = MakeTable(kRecords);
  Line line;
  TagVar h = TagVar::Int(Open(line, path)), stmt = TagVar::Str(path), map, naming = TagVar::Int(1),
         key = TagVar::Str("F0");
  auto op = line.Make(KeywordId::DbExecMap, {&h, &stmt, &map, &naming, &key});
  for (auto _ : state) {
    benchmark::DoNotOptimize(op->Execute());
    map.SetInt(0);
  }
  state.counters["records/s"] =
      benchmark::Counter(double(state.iterations()) * kRecords, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DbExecMapScan)->Unit(benchmark::kMillisecond);

void BM_DbfAppend(benchmark::State& state) {
  const std::string path = MakeTable(0);
  TagDbfData d(path);
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(d.SetValByName(std::to_string(++i), "F0", -1));
  state.counters["appends/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  std::remove(path.c_str());
}
BENCHMARK(BM_DbfAppend);

}  // namespace
