#pragma once
// A line for the IVR operation tests: a script instance on a recording call
// object (a test double), argument values, and voice files in a temporary
// directory.
#include <gtest/gtest.h>

#include "engine/memkxs.h"
#include "tests/support/operation.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/oper.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "lines/vocfile.h"
#include "operations/argread.h"
#include "platform/path.h"
#include "tests/support/tempdir.h"

namespace ivrtest {

// Test double of a card line's call object: it records what it was asked to
// do, hands out scripted keys and results, and keeps a copy of every played
// file as it was at the time of the play.
class RecordingCall : public TagKxCall {
 public:
  RecordingCall() { lineType = kLineDig; }
  struct Played {
    std::string file;
    uint8_t breakOnKey;
    int flag;
    std::string bytes;  // the file's content when it was played
  };
  struct KeysAnswer {
    std::string keys;
    int result;
    int32_t stateAfter = kCallConnected;
  };

  int PlayFile(const std::string& file, uint8_t breakKey, int flag) override {
    played.push_back({file, breakKey, flag, testsupport::ReadFile(plat::ResolvePath(file))});
    ops.push_back("PlayFile");
    return playResult;
  }
  int PlayMemory(const uint8_t* data, int, int length, int, uint8_t) override {
    memoryPlays.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    ops.push_back("PlayMemory");
    return 0;
  }
  bool CanPlayMemory() const override { return playsMemory; }
  int GetKeys(std::string& out, int maxCount, int timeout, int endKeyArg) override {
    keysAsked.push_back({maxCount, timeout, endKeyArg});
    ops.push_back("GetKeys");
    if (keyAnswers.empty()) return -1;
    KeysAnswer a = keyAnswers.front();
    keyAnswers.pop_front();
    out = a.keys;
    callState = a.stateAfter;
    return a.result;
  }
  void Hangup() override {
    ops.push_back("Hangup");
    callState = kCallReleased;
  }
  int WaitRing(int rings) override {
    if (onWaitRing) onWaitRing(++waitRings);
    intArgs.push_back(rings);
    callState = kCallConnected;
    return 0;
  }
  int Answer(uint8_t flag) override {
    intArgs.push_back(flag);
    return 0;
  }
  int Dial(const std::string& number) override {
    texts.push_back(number);
    return dialResult;
  }
  int OutCall(const std::string& number, int, int) override {
    texts.push_back(number);
    return dialResult;
  }
  int CheckDial() override { return dialResult; }
  int IsRinging(std::string& caller, std::string& callee) override {
    caller = callerNumber;
    callee = "5678";
    return ringingResult;
  }
  int GetCallerId(std::string& out) override {
    out = callerNumber;
    return 0;
  }
  int Record(const std::string& file, int maxSeconds, uint8_t breakKey) override {
    texts.push_back(file);
    intArgs.push_back(maxSeconds);
    intArgs.push_back(breakKey);
    return 0;
  }
  int PcPlay(const std::string& file, int loop, int wait, uint8_t breakKey) override {
    texts.push_back(file);
    intArgs.insert(intArgs.end(), {loop, wait, breakKey});
    return 0;
  }

  std::vector<Played> played;
  std::vector<std::string> memoryPlays;
  std::vector<std::string> ops;
  std::vector<std::string> texts;
  std::vector<int> intArgs;
  struct Asked {
    int maxCount, timeout, endKey;
  };
  std::vector<Asked> keysAsked;
  std::deque<KeysAnswer> keyAnswers;
  int playResult = 0;
  int dialResult = 0;
  int ringingResult = 0;
  bool playsMemory = false;
  std::string callerNumber;
  int waitRings = 0;
  std::function<void(int)> onWaitRing;  // told the count of waits so far
};

// An A-law WAVE with an 18-byte format chunk and the given data.
inline std::string AlawWave(const std::string& data, uint32_t fmtSize = 18) {
  std::vector<uint8_t> h = MakeWaveHeader(fmtSize, 6, static_cast<uint32_t>(data.size()));
  return std::string(h.begin(), h.end()) + data;
}

inline uint32_t Le32At(const std::string& s, size_t at) {
  if (at + 4 > s.size()) return 0xFFFFFFFFu;
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])); };
  return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

class IvrFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // Scripts are cached by the name as given; each test has its own folder.
    TagMemKxs::Instance().Clear();
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 3, &call_, 0);
    inst_->initResult = 0;
    call_.lineNo = 3;
    call_.callState = kCallConnected;
  }
  void TearDown() override {
    ops_.clear();
    inst_.reset();
    cwd_.reset();
  }

  // Argument values live as long as the test.
  TagVar* Int(int v) { return Keep(TagVar::Int(v)); }
  TagVar* Str(std::string_view s) { return Keep(TagVar::Str(s)); }
  TagVar* Dbl(double d) { return Keep(TagVar::Dbl(d)); }
  TagVar* Const(int v) {
    TagVar* p = Keep(TagVar::Int(v));
    p->SetConst(true);
    return p;
  }
  TagVar* Keep(TagVar v) {
    values_.push_back(std::make_unique<TagVar>(std::move(v)));
    return values_.back().get();
  }

  // The operation of a keyword as the compiler would make it on a line of
  // this type.
  TagOper* Make(KeywordId id, std::vector<TagVar*> args, int lineType = kLineDig) {
    ops_.push_back(testsupport::MakeOperation(id, args, inst_.get(), lineType, call_.lineNo));
    return ops_.back().get();
  }
  int Run(KeywordId id, std::vector<TagVar*> args, int lineType = kLineDig) {
    TagOper* op = Make(id, std::move(args), lineType);
    return op ? op->Execute() : -9999;
  }

  // A voice file below the test directory (directories made as needed).
  void WriteVoice(const std::string& rel, const std::string& bytes) {
    std::filesystem::path p = std::filesystem::path(dir_.path()) / rel;
    std::filesystem::create_directories(p.parent_path());
    testsupport::WriteFile(p.string(), bytes);
  }
  std::string Read(const std::string& rel) { return testsupport::ReadFile(dir_ / rel); }
  bool Exists(const std::string& rel) { return std::filesystem::exists(dir_ / rel); }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  RecordingCall call_;
  std::unique_ptr<TagTelBasic> inst_;
  std::vector<std::unique_ptr<TagVar>> values_;
  std::vector<std::unique_ptr<TagOper>> ops_;
};

}  // namespace ivrtest
