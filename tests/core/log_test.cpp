#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "core/log.h"
#include "core/runcfg.h"
#include "tests/support/tempdir.h"

using testsupport::ReadFile;
using testsupport::ScopedCwd;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} 0x[0-9a-f]+ \[(.*)\]$)");

// The texts of the log lines of a file, in file order.
std::vector<std::string> Texts(const std::string& file) {
  std::vector<std::string> out;
  std::string all = ReadFile(file);
  size_t pos = 0;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    if (nl == std::string::npos) nl = all.size();
    std::string line = all.substr(pos, nl - pos);
    std::smatch m;
    if (std::regex_match(line, m, kLine)) out.push_back(m[1]);
    pos = nl + 1;
  }
  return out;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { logLevel = 0; }
  void TearDown() override {
    SetLogWriter(nullptr);
    logLevel = 0;
  }
  TempDir dir;
};

TEST_F(LogTest, LineFormatAndCut) {
  std::string name = dir / "msg_log.txt";
  {
    TagWriteLog w(name, 2100000, true, true);
    w.Write("Run Start ...");
    w.Write(std::string(200, 'x').c_str());
  }
  std::string all = ReadFile(name);
  EXPECT_EQ(all.rfind("\nSystem Start...\n", 0), 0u);
  EXPECT_NE(all.find("System Closed.\n"), std::string::npos);
  auto texts = Texts(name);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Run Start ...");
  EXPECT_EQ(texts[1], std::string(127, 'x'));
}

TEST_F(LogTest, LevelsDecideWhatIsWrittenWhere) {
  struct Case {
    int level;
    bool logWritten, rawFromLog, rawLogWritten;
  } cases[] = {
      {0, false, false, false}, {-1, true, false, false}, {1, true, false, false},
      {2, true, false, true},   {3, true, true, true},
  };
  for (const auto& c : cases) {
    TempDir d;
    ScopedCwd cwd(d.path());
    logLevel = c.level;
    SetLogWriter(std::make_shared<TagWriteLog>("msg_log.txt", 2100000, true, true));
    LogAlways("always");
    Log("sometimes");
    RawLog("raw");
    std::string file = GetLogWriter()->FileName();
    SetLogWriter(nullptr);
    auto texts = Texts(file);
    std::vector<std::string> want{"always"};
    if (c.logWritten) want.push_back("sometimes");
    EXPECT_EQ(texts, want) << "level " << c.level;
    auto raw = Texts("RawLog.txt");
    std::vector<std::string> wantRaw;
    if (c.rawFromLog) wantRaw = want;
    if (c.rawLogWritten) wantRaw.push_back("raw");
    EXPECT_EQ(raw, wantRaw) << "level " << c.level;
  }
}

TEST_F(LogTest, RawTraceKeepsLongLinesWhole) {
  ScopedCwd cwd(dir.path());
  logLevel = 2;
  std::string text(300, 'r');
  RawLog(text.c_str());
  EXPECT_EQ(Texts("RawLog.txt"), std::vector<std::string>{text});
}

TEST_F(LogTest, OversizedSingleFileMovesToBak) {
  std::string name = dir / "msg_log.txt";
  WriteFile(name, std::string(3000, 'o'));
  { TagWriteLog w(name, 2000, true, true); w.Write("fresh"); }
  EXPECT_EQ(ReadFile(name + ".bak"), std::string(3000, 'o'));
  EXPECT_EQ(Texts(name), std::vector<std::string>{"fresh"});
  // A file within the limit is appended to.
  { TagWriteLog w(name, 2000, true, true); w.Write("again"); }
  EXPECT_EQ(Texts(name), (std::vector<std::string>{"fresh", "again"}));
}

TEST_F(LogTest, SeriesNamesCarryTheOpeningTime) {
  std::filesystem::create_directories(dir / "log");
  {
    TagWriteLog w(dir.path() + "\\log\\run.log", 2100000, true, false);
    EXPECT_TRUE(std::regex_match(w.FileName(), std::regex(".*/log/run\\d{8}_\\d{6}\\.log"))) << w.FileName();
  }
  {
    TagWriteLog w(dir / "a.dir/log", 2100000, true, false);
    EXPECT_TRUE(std::regex_match(w.FileName(), std::regex(".*/a\\.dir/log\\d{8}_\\d{6}"))) << w.FileName();
  }
}

TEST_F(LogTest, RotationWithinOneSecondLosesNothing) {
  std::string base = dir / "rot.txt";
  const int kLines = 60;
  {
    TagWriteLog w(base, 300, true, false);
    for (int i = 0; i < kLines; ++i) w.Write(("line " + std::to_string(i)).c_str());
  }
  std::vector<std::string> all;
  auto files = FilesIn(dir.path());
  EXPECT_GT(files.size(), 3u);
  // Files of one second sort by their suffix; order them by first line number.
  std::vector<std::vector<std::string>> perFile;
  for (auto& f : files) perFile.push_back(Texts(f));
  std::sort(perFile.begin(), perFile.end(), [](auto& a, auto& b) {
    auto num = [](auto& v) { return v.empty() ? -1 : std::stoi(v[0].substr(5)); };
    return num(a) < num(b);
  });
  for (auto& v : perFile) all.insert(all.end(), v.begin(), v.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(all[i], "line " + std::to_string(i));
}

TEST_F(LogTest, SingleFileWrapsToItsStartWhenFull) {
  std::string name = dir / "wrap.txt";
  {
    TagWriteLog w(name, 200, true, true);
    for (int i = 0; i < 10; ++i) w.Write(("entry " + std::to_string(i)).c_str());
  }
  EXPECT_FALSE(std::filesystem::exists(name + ".bak"));
  EXPECT_LT(std::filesystem::file_size(name), 400u);
  EXPECT_NE(ReadFile(name).find("entry 9]"), std::string::npos);
}

TEST_F(LogTest, FortyFirstLineFlushesTheFirstForty) {
  std::string name = dir / "buf.txt";
  TagWriteLog w(name, 2100000, false, true);
  for (int i = 0; i < 41; ++i) w.Write(std::to_string(i).c_str());
  auto texts = Texts(name);
  ASSERT_EQ(texts.size(), 40u);
  EXPECT_EQ(texts.front(), "0");
  EXPECT_EQ(texts.back(), "39");
  EXPECT_EQ(w.Flush(), 1);
  texts = Texts(name);
  ASSERT_EQ(texts.size(), 41u);
  EXPECT_EQ(texts.back(), "40");
  EXPECT_EQ(w.Flush(), 0);
}

TEST_F(LogTest, ThreadOrderSurvivesConcurrentFlushes) {
  std::string name = dir / "mt.txt";
  TagWriteLog w(name, 100000000, false, true);
  const int kThreads = 4, kLines = 2000;
  std::atomic<bool> done{false};
  std::thread flusher([&] {
    while (!done) w.Flush();
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) w.Write((std::to_string(t) + ":" + std::to_string(i)).c_str());
    });
  for (auto& th : writers) th.join();
  done = true;
  flusher.join();
  w.Flush();
  std::vector<int> next(kThreads, 0);
  for (const auto& t : Texts(name)) {
    int th = std::stoi(t.substr(0, t.find(':')));
    int n = std::stoi(t.substr(t.find(':') + 1));
    ASSERT_EQ(n, next[th]) << "thread " << th << " out of order";
    ++next[th];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

TEST_F(LogTest, UnwritableFileKeepsTheNewestLines) {
  TagWriteLog w(dir / "missing-dir/x.txt", 2100000, false, true);
  for (int i = 0; i < 45; ++i) EXPECT_EQ(w.Write(std::to_string(i).c_str()), 0);
  EXPECT_EQ(w.Flush(), -1);
}

TEST_F(LogTest, NoWriterMeansOnlyTheRawTrace) {
  ScopedCwd cwd(dir.path());
  logLevel = 3;
  SetLogWriter(nullptr);
  LogAlways("after exit");
  EXPECT_EQ(Texts("RawLog.txt"), std::vector<std::string>{"after exit"});
}

TEST(LogTime, Formats) {
  EXPECT_TRUE(std::regex_match(FormatLogTime(), std::regex(R"(\d{8} \d{2}:\d{2}:\d{2}\.\d{3})")));
  EXPECT_TRUE(std::regex_match(FormatLogPrefix(), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} 0x[0-9a-f]+ \[)")));
}

}  // namespace
